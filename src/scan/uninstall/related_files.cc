// Where an application keeps its files, and one application's category.
#include <algorithm>
#include <sstream>

#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/paths.h"
#include "orvexa/scan/uninstall/name_rules.h"
#include "orvexa/scan/uninstall/uninstall_scan_service.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/queue_or_here.h"
#include "orvexa/units/terminal_tool.h"
#include "scan/uninstall/record_keys.h"

namespace orvexa {
namespace {

std::string lastComponent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return !prefix.empty() && text.substr(0, prefix.size()) == prefix;
}

void appendExisting(std::vector<std::string>& out, const std::string& path) {
  if (fileExists(path)) out.push_back(path);
}

// The non-empty lines of a tool's output.
std::vector<std::string> lines(const std::string& output) {
  std::vector<std::string> out;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

// Virtual machines without the query tool: the entries of the folders the
// virtualisation programs use by default whose name holds `marker`.
std::vector<std::string> virtualMachinesIn(const std::vector<std::string>& folders,
                                           std::string_view marker) {
  std::vector<std::string> out;
  for (const std::string& folder : folders) {
    for (const std::string& name : contentsOfDirectory(folder)) {
      if (name.find(marker) != std::string::npos) out.push_back(folder + "/" + name);
    }
  }
  return out;
}

using uninstall::recordKeys;

// Appends the record of `path` to `app` (numbered as its next child).
void addChild(const CategoryPtr& app, const std::string& path,
              const SuperScanService::Progress& progress, std::optional<int64_t> size) {
  FilePtr record =
      SuperScanService::getFileInformationFromUrl(Url::fromPath(path), recordKeys(), app, size);
  if (!record) return;
  app->childrens.push_back(record);
  app->size += record->size;
  if (progress) progress(record->url.path(), record->size);
}

}  // namespace

std::vector<std::string> UninstallScanService::getApplicationRegularFolder() {
  const Paths& paths = Paths::shared();
  const std::string local = paths.resolve("/Library");
  const std::string user = paths.userLibrary();
  std::vector<std::string> folders;
  for (const char* sub : {"Preferences", "PreferencePanes", "LaunchAgents", "LaunchDaemons",
                          "PrivilegedHelperTools", "StartupItems"}) {
    folders.push_back(local + "/" + sub);
  }
  for (const char* sub :
       {"Preferences", "PreferencePanes", "LaunchAgents", "Saved Application State", "Containers",
        "WebKit", "Cache", "Cookies", "Logs"}) {
    folders.push_back(user + "/" + sub);
  }
  folders.push_back(paths.userApplicationSupport());
  folders.push_back(paths.resolve("/Users/Shared"));
  return folders;
}

std::vector<std::string> UninstallScanService::regularFolderList() {
  // Not cached: the paths table (its root) may change between scans.
  return getApplicationRegularFolder();
}

std::vector<std::string> UninstallScanService::getSpecialApp() {
  return {"com.vmware", "com.adobe", "com.parallels.desktop.console", "com.google.Chrome",
          "com.apple.Safari"};
}

const std::vector<std::string>& UninstallScanService::specialApp() {
  static const std::vector<std::string> list = getSpecialApp();
  return list;
}

std::vector<std::string> UninstallScanService::getAllCommonPath() {
  std::vector<std::string> out;
  for (const std::string& folder : regularFolderList()) {
    for (const std::string& name : contentsOfDirectory(folder)) {
      if (name.front() == '.') continue;
      std::string path = folder + "/" + name;
      if (fileExists(path)) out.push_back(std::move(path));
    }
  }
  return out;
}

std::vector<std::string> UninstallScanService::installedApplicationNames(
    const std::vector<std::string>* bundles) {
  std::vector<std::string> found;
  if (bundles == nullptr) {
    const Paths& paths = Paths::shared();
    for (const std::string& folder : {paths.applicationsFolder(), paths.systemApplicationsFolder(),
                                      paths.userHome() + "/Applications"}) {
      DirectoryEnumerator walk(folder, EnumerationOptions::skipsPackageDescendants,
                               [](const std::string&, const std::string&) { return true; });
      while (std::optional<ResourceValues> item = walk.next()) {
        if (isInstalledBundleEntry(item->path, item->name, item->isDirectory,
                                   item->isSymbolicLink)) {
          found.push_back(item->path);
        }
      }
    }
    bundles = &found;
  }
  std::vector<std::string> names;
  for (const std::string& path : *bundles) {
    if (std::optional<ApplicationBundle> bundle = readApplicationBundle(path)) {
      for (std::string& name : knownNames(*bundle)) names.push_back(std::move(name));
    }
  }
  return names;
}

std::set<std::string> UninstallScanService::machAppInfoList(
    const std::string& appPath, const std::vector<std::string>* paths,
    const std::vector<std::string>* installedNames) {
  std::set<std::string> related;
  std::string why;
  std::optional<ApplicationBundle> bundle = readApplicationBundle(appPath, &why);
  if (!why.empty()) LogService::shard().log(LogService::LogLevel::Info, "Bundle skipped: " + why);
  if (!bundle) return related;
  std::vector<std::string> own;
  if (paths == nullptr) {
    own = getAllCommonPath();
    paths = &own;
  }
  std::vector<std::string> installed;
  if (installedNames == nullptr) {
    installed = installedApplicationNames();
    installedNames = &installed;
  }
  const std::vector<std::string> names = knownNames(*bundle);
  const std::string sharedFolder = Paths::shared().resolve("/Users/Shared") + "/";
  // The length of the longest of `known` that `name` matches whole (0: none).
  auto longestMatch = [](const std::string& name, const std::vector<std::string>& known) {
    size_t longest = 0;
    for (const std::string& k : known) {
      if (nameMatchesWhole(name, k)) longest = std::max(longest, k.size());
    }
    return longest;
  };
  for (const std::string& candidate : *paths) {
    const std::string name = lastComponent(candidate);
    size_t matched = 0;
    // The shared users folder holds the users' own things ("Family Photos"):
    // only an entry named after the identifier is the application's; so are
    // the system's entries.
    if ((candidate.size() == sharedFolder.size() + name.size() &&
         startsWith(candidate, sharedFolder)) ||
        isKeptEntryName(name)) {
      matched =
          nameMatchesWhole(name, bundle->bundleIdentifier) ? bundle->bundleIdentifier.size() : 0;
    } else {
      matched = longestMatch(name, names);
    }
    // Another application named more closely keeps it.
    if (matched != 0 && longestMatch(name, *installedNames) <= matched) related.insert(candidate);
  }
  return related;
}

std::vector<std::string> UninstallScanService::getSpecialAppFile(const std::string& arg) {
  std::vector<std::string> out;
  if (arg.empty()) return out;
  const Paths& paths = Paths::shared();
  const std::string caches = paths.userLibrary() + "/Caches";
  appendExisting(out, caches + "/" + arg);
  // Only the application itself: its siblings ("com.google.Chrome.canary",
  // "com.apple.SafariTechnologyPreview") keep their data elsewhere.
  if (arg == "com.google.Chrome") {
    appendExisting(out, paths.userApplicationSupport() + "/Google/Chrome");
    appendExisting(out, caches + "/Google/Chrome");
  } else if (arg == "com.apple.Safari") {
    appendExisting(out, paths.userLibrary() + "/Safari");
  }
  return out;
}

std::vector<std::string> UninstallScanService::getSpecialAppSpecialFile(const std::string& name) {
  std::vector<std::string> out;
  const std::string mdfind = Paths::shared().tool("mdfind");
  const bool haveQuery = fileExists(mdfind);
  const std::string home = Paths::shared().userHome();
  if (startsWith(name, "com.vmware")) {
    out = haveQuery ? lines(TerminalUtils::runTerminal(mdfind, {"kMDItemFSName == *vmwarevm*"}))
                    : virtualMachinesIn(
                          {home + "/Virtual Machines.localized",
                           home + "/Documents/Virtual Machines.localized",
                           home + "/Virtual Machines", home + "/Documents/Virtual Machines"},
                          "vmwarevm");
  } else if (startsWith(name, "com.parallels")) {
    out = haveQuery
              ? lines(TerminalUtils::runTerminal(mdfind, {"kMDItemFSName == *pvm*"}))
              : virtualMachinesIn({home + "/Parallels", home + "/Documents/Parallels"}, "pvm");
  }
  for (std::string& path : getSpecialAppFile(name)) out.push_back(std::move(path));
  return out;
}

void UninstallScanService::scanListFromApps(const FeaturePtr& /*featureInfo*/,
                                            const CategoryPtr& app, const Progress& progress,
                                            const AppDone& done,
                                            const std::vector<std::string>* paths,
                                            const std::shared_ptr<SerialGCDService>& dispatch,
                                            const std::vector<std::string>* installedNames) {
  const std::string appPath = app->urls.empty() ? std::string() : app->urls.front().path();
  std::optional<ApplicationBundle> bundle = readApplicationBundle(appPath);
  app->childrens.clear();
  app->size = 0;
  // The folders searched: the application, the related-file folders, and
  // the home (caches, virtual machines).
  app->scanRoots = {Url::fromPath(appPath, true), Url::fromPath(Paths::shared().userHome(), true)};
  for (const std::string& folder : regularFolderList()) {
    app->scanRoots.push_back(Url::fromPath(folder, true));
  }
  if (bundle) {
    addChild(app, appPath, progress, getPackageSizeFromTerminal(Url::fromPath(appPath, true)));
    std::set<std::string> seen = {appPath};
    for (const std::string& path : machAppInfoList(appPath, paths, installedNames)) {
      if (seen.insert(path).second) addChild(app, path, progress, std::nullopt);
    }
    for (const std::string& prefix : specialApp()) {
      if (!startsWith(bundle->bundleIdentifier, prefix)) continue;
      for (const std::string& path : getSpecialAppSpecialFile(bundle->bundleIdentifier)) {
        if (seen.insert(path).second) addChild(app, path, progress, std::nullopt);
      }
      break;
    }
  }
  if (!done) return;
  runOnQueueOrHere(dispatch, [done, app] { done(app); });
}

}  // namespace orvexa
