// Applications, related files, leftovers and use under the Linux layout.
#include "orvexa/scan/uninstall/linux_applications.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>

#include "orvexa/platform/ascii_case.h"
#include "orvexa/platform/desktop_entry.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/xml_entities.h"
#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/scan/uninstall/name_rules.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/terminal_tool.h"
#include "scan/uninstall/record_keys.h"

namespace orvexa {
namespace {

constexpr std::string_view kDesktopSuffix = ".desktop";
// Desktop entries, usage records: small files; a larger one is not read.
constexpr uint64_t kMaxRecordBytes = uint64_t{16} << 20;

std::string lastComponent(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool atOrBelow(std::string_view path, std::string_view folder) {
  return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

// The words of an Exec value: blanks separate, double quotes group, a
// backslash in quotes escapes the next character.
std::vector<std::string> execWords(std::string_view exec) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  bool any = false;
  for (size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (quoted && c == '\\' && i + 1 < exec.size()) {
      word += exec[++i];
    } else if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (any || !word.empty()) words.push_back(std::move(word));
      word.clear();
      any = false;
    } else {
      word += c;
    }
  }
  if (any || !word.empty()) words.push_back(std::move(word));
  return words;
}

// Programs that start another: their name says nothing of the application.
bool isLauncher(std::string_view name) {
  static constexpr std::string_view kLaunchers[] = {
      "env",     "sh",     "bash", "dash", "flatpak",  "snap",         "python",
      "python3", "perl",   "java", "mono", "wine",     "xdg-open",     "gtk-launch",
      "sudo",    "pkexec", "gjs",  "node", "electron", "appimage-run", "kioclient5"};
  return std::find(std::begin(kLaunchers), std::end(kLaunchers), name) != std::end(kLaunchers);
}

// The program Exec starts: past "env" and its settings.
std::string execProgram(std::string_view exec) {
  std::vector<std::string> words = execWords(exec);
  size_t i = 0;
  if (i < words.size() && lastComponent(words[i]) == "env") {
    ++i;
    while (i < words.size() && (words[i].find('=') != std::string::npos || words[i][0] == '-')) ++i;
  }
  return i < words.size() ? words[i] : std::string();
}

// The name a program's files go by: its file name, without the ".AppImage"
// of a packed application.
std::string programKey(std::string_view program) {
  std::string name = lastComponent(program);
  constexpr std::string_view kAppImage = ".appimage";
  if (name.size() > kAppImage.size() &&
      asciiLower(std::string_view(name).substr(name.size() - kAppImage.size())) == kAppImage) {
    name.resize(name.size() - kAppImage.size());
    // "-1.2.3-x86_64": from the first "-" or "_" before a digit.
    for (size_t i = 1; i + 1 < name.size(); ++i) {
      if ((name[i] == '-' || name[i] == '_') && name[i + 1] >= '0' && name[i + 1] <= '9') {
        name.resize(i);
        break;
      }
    }
  }
  return name;
}

std::optional<std::string> readSmallFile(const std::string& path) {
  return readRegularFile(path, kMaxRecordBytes);
}

bool isFolder(const std::string& path) { return isDirectory(path); }

LinuxAppOrigin originOf(size_t folderIndex) {
  // The order of Paths::desktopApplicationFolders().
  static constexpr LinuxAppOrigin kOrigins[] = {
      LinuxAppOrigin::user,  LinuxAppOrigin::userFlatpak, LinuxAppOrigin::systemFlatpak,
      LinuxAppOrigin::local, LinuxAppOrigin::package,     LinuxAppOrigin::snap};
  return folderIndex < std::size(kOrigins) ? kOrigins[folderIndex] : LinuxAppOrigin::package;
}

// The path as the system names it (the root taken off), for tools.
std::string systemPath(const std::string& path) {
  const std::string root = Paths::shared().root();
  return !root.empty() && atOrBelow(path, root) ? path.substr(root.size()) : path;
}

// The Debian packages that own `paths` (one `tool("dpkg") -S` run for all),
// by path; a path no package owns is missing.
std::map<std::string, std::string> ownerPackages(const std::vector<std::string>& paths) {
  std::map<std::string, std::string> owners;
  const std::string dpkg = Paths::shared().tool("dpkg");
  if (paths.empty() || !fileExists(dpkg)) return owners;
  std::map<std::string, std::string> bySystemPath;  // the path as dpkg names it -> ours
  std::vector<std::string> arguments = {"-S"};
  for (const std::string& path : paths) {
    bySystemPath[systemPath(path)] = path;
    arguments.push_back(systemPath(path));
  }
  // "pkg[:arch][, pkg2]: /path" per owned path; diversions and the paths
  // no package owns are told on other lines (or on standard error).
  const std::string output = TerminalUtils::runTerminal(dpkg, arguments);
  for (size_t at = 0; at < output.size();) {
    size_t end = output.find('\n', at);
    if (end == std::string::npos) end = output.size();
    const std::string_view line = std::string_view(output).substr(at, end - at);
    at = end + 1;
    const size_t colon = line.find(": /");
    if (colon == std::string_view::npos || line.starts_with("diversion")) continue;
    auto path = bySystemPath.find(std::string(line.substr(colon + 2)));
    if (path == bySystemPath.end()) continue;
    std::string package(line.substr(0, colon));
    package = package.substr(0, package.find(','));
    package = package.substr(0, package.find(':'));
    if (!package.empty() && package.find(' ') == std::string::npos) owners[path->second] = package;
  }
  return owners;
}

// A Debian package, Flatpak or Snap name: a letter or digit, then letters,
// digits and "._+-". Entry files are anyone's to write: an id of any other
// shape gets no remove command, since pasted it could do something else.
bool isPlainName(std::string_view name) {
  return !name.empty() && std::isalnum(static_cast<unsigned char>(name.front())) &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) ||
                  std::string_view("._+-").find(c) != std::string_view::npos;
         });
}

bool isSharedDataEntry(std::string_view name) {
  return std::any_of(std::begin(kSharedDataEntries), std::end(kSharedDataEntries),
                     [&](std::string_view e) { return equalsIgnoringAsciiCase(e, name); });
}

// `entry` is `key`, or `key` followed by "." and a plain data extension.
bool matchesKey(std::string_view entry, std::string_view key) {
  if (key.empty() || entry.size() < key.size()) return false;
  if (!equalsIgnoringAsciiCase(entry.substr(0, key.size()), key)) return false;
  if (entry.size() == key.size()) return true;
  if (entry[key.size()] != '.') return false;
  const std::string extension = asciiLower(entry.substr(key.size() + 1));
  return std::find(std::begin(kDataExtensions), std::end(kDataExtensions), extension) !=
         std::end(kDataExtensions);
}

// The folders whose entries may belong to applications.
std::vector<std::string> dataFolders(bool withSnap) {
  const Paths& paths = Paths::shared();
  std::vector<std::string> folders = {paths.userConfigFolder(), paths.userDataFolder(),
                                      paths.userStateFolder(), paths.userCacheFolder(),
                                      paths.flatpakDataFolder()};
  if (withSnap) folders.push_back(paths.userSnapFolder());
  return folders;
}

std::vector<std::string> visibleEntries(const std::string& folder) {
  std::vector<std::string> out;
  for (const std::string& name : contentsOfDirectory(folder)) {
    if (!name.empty() && name.front() != '.') out.push_back(folder + "/" + name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

using uninstall::recordKeys;

void addChild(const CategoryPtr& category, const std::string& path,
              const std::function<void(const std::string&, int64_t)>& progress) {
  FilePtr record =
      SuperScanService::getFileInformationFromUrl(Url::fromPath(path), recordKeys(), category);
  if (!record) return;
  category->childrens.push_back(record);
  category->size += record->size;
  if (progress) progress(record->url.path(), record->size);
}

// The value of attribute `name` in the tag text `tag`, its entities
// decoded; nullopt when absent.
std::optional<std::string> attribute(std::string_view tag, std::string_view name) {
  for (size_t at = tag.find(name); at != std::string_view::npos; at = tag.find(name, at + 1)) {
    const bool startsWord = at > 0 && (tag[at - 1] == ' ' || tag[at - 1] == '\t' ||
                                       tag[at - 1] == '\n' || tag[at - 1] == '\r');
    const size_t eq = at + name.size();
    if (!startsWord || eq + 1 >= tag.size() || tag[eq] != '=') continue;
    const char quote = tag[eq + 1];
    if (quote != '"' && quote != '\'') continue;
    const size_t close = tag.find(quote, eq + 2);
    if (close == std::string_view::npos) return std::nullopt;
    return decodedXmlEntities(tag.substr(eq + 2, close - eq - 2));
  }
  return std::nullopt;
}

// The texts of the elements `<NAME ...>` of `text`.
std::vector<std::string_view> elements(std::string_view text, std::string_view name) {
  std::vector<std::string_view> out;
  const std::string open = "<" + std::string(name);
  for (size_t at = text.find(open); at != std::string_view::npos; at = text.find(open, at + 1)) {
    const size_t after = at + open.size();
    if (after >= text.size() || (text[after] != ' ' && text[after] != '\t' && text[after] != '\n'))
      continue;
    const size_t end = text.find('>', after);
    if (end == std::string_view::npos) break;
    out.push_back(text.substr(at, end - at));
  }
  return out;
}

// The desktop entry files below `folder`, as (path below it, path), the
// path below it in name order. Sub-folders are entered down to
// kMaxSubFolderDepth levels; a link to a folder is not entered (it may lead out
// of the folder, or round in a loop). A file or link whose name ends in
// ".desktop" is listed (what it is, the reader decides).
std::vector<std::pair<std::string, std::string>> desktopEntryFiles(const std::string& folder) {
  constexpr int kMaxSubFolderDepth = 3;
  std::vector<std::pair<std::string, std::string>> out;
  std::vector<std::pair<std::string, int>> pending = {{"", 0}};  // (path below, depth)
  while (!pending.empty()) {
    const auto [below, depth] = pending.back();
    pending.pop_back();
    for (const std::string& name :
         contentsOfDirectory(below.empty() ? folder : folder + "/" + below)) {
      if (name.empty() || name.front() == '.') continue;
      const std::string relative = below.empty() ? name : below + "/" + name;
      const std::string path = folder + "/" + relative;
      std::error_code ec;
      const bool realFolder =
          std::filesystem::is_directory(std::filesystem::symlink_status(path, ec));
      if (realFolder) {
        if (depth < kMaxSubFolderDepth) pending.emplace_back(relative, depth + 1);
      } else if (name.size() > kDesktopSuffix.size() && name.ends_with(kDesktopSuffix)) {
        out.emplace_back(relative, path);
      }
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The folders of the home programs are unpacked into, one folder each.
constexpr std::string_view kInstallFolders[] = {"Applications", "Apps", "opt", ".local/opt"};

// Where a user's application's program lies: the program, and the file it
// links to (one step, relative to the link's folder), below the root.
std::vector<std::string> programPlaces(const DesktopApplication& app) {
  if (app.program.empty()) return {};
  const Paths& paths = Paths::shared();
  std::vector<std::string> places = {
      std::filesystem::path(paths.resolve(app.program)).lexically_normal().string()};
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::read_symlink(places[0], ec);
  if (!ec && target.is_absolute()) {
    places.push_back(paths.resolve(target.lexically_normal().string()));
  } else if (!ec) {
    places.push_back(
        (std::filesystem::path(places[0]).parent_path() / target).lexically_normal().string());
  }
  return places;
}

// The folder a user's application was unpacked into, when it may go with
// it; "" when in doubt. It is the folder directly below one of
// kInstallFolders of the home that holds the program (or the file its link
// names), is itself a folder and no link, as is the install folder above
// it, is named after the application whole (its Name, desktop id or
// program, without regard to case), and holds no other application's entry
// or program.
std::string programFolder(const DesktopApplication& app,
                          const std::vector<DesktopApplication>& apps) {
  const std::string home = Paths::shared().userHome();
  auto realFolder = [](const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(std::filesystem::symlink_status(path, ec));
  };
  for (const std::string& place : programPlaces(app)) {
    for (std::string_view install : kInstallFolders) {
      const std::string base = home + "/" + std::string(install);
      if (!place.starts_with(base + "/")) continue;
      const std::string name =
          place.substr(base.size() + 1, place.find('/', base.size() + 1) - base.size() - 1);
      const std::string folder = base + "/" + name;
      if (name.empty() || folder == place || !realFolder(base) || !realFolder(folder)) continue;
      if (!equalsIgnoringAsciiCase(name, app.name) &&
          !equalsIgnoringAsciiCase(name, app.desktopId) &&
          !equalsIgnoringAsciiCase(name, app.executable)) {
        continue;
      }
      const bool shared = std::any_of(apps.begin(), apps.end(), [&](const DesktopApplication& o) {
        if (o.desktopId == app.desktopId) return false;
        if (atOrBelow(o.path, folder)) return true;
        const std::vector<std::string> theirs = programPlaces(o);
        return std::any_of(theirs.begin(), theirs.end(),
                           [&](const std::string& p) { return atOrBelow(p, folder); });
      });
      return shared ? std::string() : folder;
    }
  }
  return {};
}

}  // namespace

std::optional<DesktopApplication> parseDesktopApplication(std::string_view text,
                                                          const std::string& path,
                                                          LinuxAppOrigin origin,
                                                          std::string_view desktopId) {
  if (desktopValue(text, "Hidden") == "true" || desktopValue(text, "NoDisplay") == "true") {
    return std::nullopt;
  }
  const std::string exec = desktopValue(text, "Exec");
  if (exec.empty()) return std::nullopt;
  DesktopApplication app;
  app.path = path;
  app.origin = origin;
  const std::string file = lastComponent(path);
  app.desktopId = desktopId.empty() ? file.substr(0, file.size() - kDesktopSuffix.size())
                                    : std::string(desktopId);
  app.name = desktopValue(text, "Name");
  if (app.name.empty()) app.name = app.desktopId;
  const std::string program = execProgram(exec);
  const std::string programName = programKey(program);
  if (!isLauncher(programName)) app.executable = programName;
  if (!program.empty() && program.front() == '/') app.program = program;
  app.flatpakId = desktopValue(text, "X-Flatpak");
  if (app.flatpakId.empty() &&
      (origin == LinuxAppOrigin::userFlatpak || origin == LinuxAppOrigin::systemFlatpak)) {
    app.flatpakId = app.desktopId;
  }
  app.snapName = desktopValue(text, "X-SnapInstanceName");
  if (app.snapName.empty() && origin == LinuxAppOrigin::snap) {
    app.snapName = app.desktopId.substr(0, app.desktopId.find('_'));
  }
  return app;
}

std::vector<DesktopApplication> desktopApplications(std::set<std::string>* unreadable) {
  std::map<std::string, DesktopApplication> byId;
  std::set<std::string> seen;
  const std::vector<std::string> folders = Paths::shared().desktopApplicationFolders();
  for (size_t f = 0; f < folders.size(); ++f) {
    for (const auto& [relative, path] : desktopEntryFiles(folders[f])) {
      std::string id = relative.substr(0, relative.size() - kDesktopSuffix.size());
      std::replace(id.begin(), id.end(), '/', '-');
      if (!seen.insert(id).second) {  // an earlier folder's entry is in force
        auto user = byId.find(id);
        if (user != byId.end() && user->second.origin == LinuxAppOrigin::user &&
            user->second.shadowedPath.empty()) {
          user->second.shadowedPath = path;
        }
        continue;
      }
      if (isFolder(path)) continue;
      std::optional<std::string> text = readSmallFile(path);
      if (!text) {
        if (unreadable) unreadable->insert(id);
        LogService::shard().log(LogService::LogLevel::Info, "Desktop entry unreadable: " + path);
        continue;
      }
      if (auto app = parseDesktopApplication(*text, path, originOf(f), id)) {
        byId[id] = std::move(*app);
      }
    }
  }
  std::vector<DesktopApplication> apps;
  for (auto& [id, app] : byId) apps.push_back(std::move(app));
  for (DesktopApplication& app : apps) {
    if (app.origin == LinuxAppOrigin::user) app.programFolder = programFolder(app, apps);
  }
  return apps;
}

bool isRelatedEntry(const DesktopApplication& app, std::string_view entry) {
  if (isSharedDataEntry(entry)) return false;
  for (const std::string* key : {&app.desktopId, &app.flatpakId, &app.snapName, &app.executable}) {
    if (matchesKey(entry, *key)) return true;
  }
  return false;
}

std::vector<std::string> linuxRelatedFiles(const DesktopApplication& app) {
  std::vector<std::string> out;
  const bool snap = !app.snapName.empty();
  const std::string snapFolder = Paths::shared().userSnapFolder();
  for (const std::string& folder : dataFolders(snap)) {
    for (const std::string& path : visibleEntries(folder)) {
      const std::string name = lastComponent(path);
      // ~/snap holds one folder per snap, named after it alone.
      const bool related = folder == snapFolder ? name == app.snapName : isRelatedEntry(app, name);
      if (related) out.push_back(path);
    }
  }
  return out;
}

void fillPackages(std::vector<DesktopApplication>& apps) {
  // Which entry tells the package: a packaged one's own, or the one a
  // user's copy overrides.
  auto packagedEntry = [](const DesktopApplication& app) -> const std::string* {
    switch (app.origin) {
      case LinuxAppOrigin::user:
        return app.shadowedPath.empty() ? nullptr : &app.shadowedPath;
      case LinuxAppOrigin::local:
      case LinuxAppOrigin::package:
        return &app.path;
      case LinuxAppOrigin::userFlatpak:
      case LinuxAppOrigin::systemFlatpak:
      case LinuxAppOrigin::snap:
        return nullptr;
    }
    return nullptr;
  };
  std::vector<std::string> entries;
  for (const DesktopApplication& app : apps) {
    if (const std::string* entry = packagedEntry(app)) entries.push_back(*entry);
  }
  const std::map<std::string, std::string> owners = ownerPackages(entries);
  for (DesktopApplication& app : apps) {
    if (app.origin == LinuxAppOrigin::systemFlatpak) {
      if (isPlainName(app.flatpakId))
        app.removeCommand = "sudo flatpak uninstall --system " + app.flatpakId;
    } else if (app.origin == LinuxAppOrigin::snap) {
      if (!isPlainName(app.snapName)) continue;
      app.package = app.snapName;
      app.removeCommand = "sudo snap remove " + app.snapName;
    } else if (const std::string* entry = packagedEntry(app)) {
      auto owner = owners.find(*entry);
      if (owner == owners.end() || !isPlainName(owner->second)) continue;
      app.package = owner->second;
      app.removeCommand = "sudo apt remove " + app.package;
    }
  }
}

CategoryPtr linuxAppCategory(const FeaturePtr& featureInfo, const DesktopApplication& app,
                             const std::function<void(const std::string&, int64_t)>& progress) {
  const Paths& paths = Paths::shared();
  const std::string home = paths.userHome();
  std::string description = "Application";
  switch (app.origin) {
    case LinuxAppOrigin::user:
      description = "Application of this user";
      break;
    case LinuxAppOrigin::userFlatpak:
      description = "Flatpak of this user";
      break;
    case LinuxAppOrigin::systemFlatpak:
      description = "Flatpak of the system";
      break;
    case LinuxAppOrigin::snap:
      description = "Snap";
      break;
    case LinuxAppOrigin::local:
    case LinuxAppOrigin::package:
      description = app.package.empty() ? "Application of the system"
                                        : "Application of the package " + app.package;
      break;
  }
  auto category = std::make_shared<CategoryInformation>(
      0, 0, app.name, SuperScanService::defaultImage(), 0, description,
      raw(CategoryInfomationKind::App), std::vector<Url>{Url::fromPath(app.path)},
      std::vector<FilePtr>{}, featureInfo, std::any{app}, 1, false);
  category->scanRoots = {Url::fromPath(home, true)};
  std::vector<std::string> records;
  if (app.origin == LinuxAppOrigin::user) {
    records.push_back(app.path);
    const std::string program = app.program.empty() ? std::string() : paths.resolve(app.program);
    // The program itself (a file, or a link such as ~/.local/bin/foo), and
    // the folder it was unpacked into when that is known to be the
    // application's alone (programFolder).
    std::error_code ec;
    const auto type = std::filesystem::symlink_status(program, ec).type();
    if (!program.empty() && atOrBelow(program, home) && program != app.path && !ec &&
        (type == std::filesystem::file_type::regular ||
         type == std::filesystem::file_type::symlink) &&
        (app.programFolder.empty() || !atOrBelow(program, app.programFolder))) {
      records.push_back(program);
    }
    if (!app.programFolder.empty()) records.push_back(app.programFolder);
  } else if (app.origin == LinuxAppOrigin::userFlatpak) {
    const std::string installation = paths.userFlatpakFolder() + "/app/" + app.flatpakId;
    if (isFolder(installation)) records.push_back(installation);
  }
  for (std::string& path : linuxRelatedFiles(app)) {
    if (std::find(records.begin(), records.end(), path) == records.end())
      records.push_back(std::move(path));
  }
  for (const std::string& path : records) addChild(category, path, progress);
  return category;
}

std::vector<CategoryPtr> linuxLeftovers(const FeaturePtr& featureInfo) {
  std::vector<CategoryPtr> groups;
  const Paths& paths = Paths::shared();
  std::set<std::string> unreadable;
  const std::vector<DesktopApplication> apps = desktopApplications(&unreadable);
  // Every id an installed Flatpak may go by.
  std::vector<std::string> installedIds(unreadable.begin(), unreadable.end());
  for (const DesktopApplication& app : apps) {
    installedIds.push_back(app.desktopId);
    if (!app.flatpakId.empty()) installedIds.push_back(app.flatpakId);
  }
  for (const std::string& installation : {paths.userFlatpakFolder(), paths.systemFlatpakFolder()}) {
    const std::string folder = installation + "/app";
    FileStatus status;
    const std::vector<std::string> names = contentsOfDirectory(folder, &status);
    // What cannot be read may hold every Flatpak: then nothing is a leftover.
    if (!status.ok() && fileExists(folder)) return groups;
    installedIds.insert(installedIds.end(), names.begin(), names.end());
  }
  auto installed = [&](const std::string& id) {
    return std::any_of(installedIds.begin(), installedIds.end(), [&](const std::string& known) {
      return nameMatchesWhole(known, id, true) || nameMatchesWhole(id, known, true);
    });
  };
  for (const std::string& path : visibleEntries(paths.flatpakDataFolder())) {
    const std::string id = lastComponent(path);
    if (!isFolder(path) || !isBundleIdentifierName(id) || installed(id)) continue;
    std::vector<std::string> members = {path};
    for (const std::string& folder : dataFolders(false)) {
      if (folder == paths.flatpakDataFolder()) continue;
      const std::string same = folder + "/" + id;
      if (fileExists(same)) members.push_back(same);
    }
    auto group = std::make_shared<CategoryInformation>(
        0, static_cast<int>(groups.size()), id, SuperScanService::defaultImage(), 0,
        "the data of the Flatpak " + id + ", which is no longer installed",
        raw(CategoryInfomationKind::App), std::vector<Url>{}, std::vector<FilePtr>{}, featureInfo,
        std::any{}, 1, false);
    group->scanRoots = {Url::fromPath(paths.userHome(), true)};
    for (const std::string& member : members) {
      group->urls.push_back(Url::fromPath(member));
      addChild(group, member, nullptr);
    }
    if (!group->childrens.empty()) groups.push_back(group);
  }
  for (size_t i = 0; i < groups.size(); ++i) groups[i]->setFinderID(static_cast<int>(i));
  return groups;
}

std::vector<std::string> usageRecordFiles() {
  const std::string data = Paths::shared().userDataFolder();
  std::vector<std::string> out;
  for (const std::string& path :
       {data + "/gnome-shell/application_state", data + "/recently-used.xbel"}) {
    if (checkRegularFile(path).ok()) out.push_back(path);
  }
  return out;
}

bool wasUsed(const DesktopApplication& app, const std::vector<std::string>& recordTexts) {
  const std::string desktopFile = app.desktopId + std::string(kDesktopSuffix);
  for (const std::string& text : recordTexts) {
    for (std::string_view tag : elements(text, "application")) {
      if (attribute(tag, "id") == desktopFile) return true;
    }
    for (std::string_view tag : elements(text, "bookmark:application")) {
      if (attribute(tag, "name") == app.name) return true;
      const std::optional<std::string> exec = attribute(tag, "exec");
      if (!exec || app.executable.empty()) continue;
      std::string program = execProgram(*exec);
      // Writers quote the command line in single quotes: 'foo %u'.
      if (!program.empty() && program.front() == '\'') program.erase(0, 1);
      if (programKey(program) == app.executable) return true;
    }
  }
  return false;
}

bool uninstallUserFlatpak(const FilePtr& record) {
  if (!record || record->state != 1) return false;
  const std::string path = record->url.path();
  const std::string apps = Paths::shared().userFlatpakFolder() + "/app/";
  std::string id = path.starts_with(apps) ? path.substr(apps.size()) : std::string();
  while (!id.empty() && id.back() == '/') id.pop_back();
  if (id.empty() || id.find('/') != std::string::npos || !isBundleIdentifierName(id)) return false;
  const std::string flatpak = Paths::shared().tool("flatpak");
  record->state = 0;
  if (!fileExists(flatpak)) {
    record->deleteStatus = raw(DeleteStatus::DeleteError);
    record->deleteErrorDesc = "only flatpak removes a Flatpak, and there is none at " + flatpak;
    return true;
  }
  const std::string output =
      TerminalUtils::runTerminal(flatpak, {"uninstall", "--user", "--noninteractive", id});
  if (!fileExists(path)) {
    record->deleteStatus = raw(DeleteStatus::DeleteSuccess);
    return true;
  }
  std::string words = output;
  while (!words.empty() && (words.back() == '\n' || words.back() == ' ')) words.pop_back();
  record->deleteStatus = raw(DeleteStatus::DeleteError);
  record->deleteErrorDesc =
      "flatpak uninstall --user " + id + " left it" + (words.empty() ? "" : ": " + words);
  return true;
}

}  // namespace orvexa
