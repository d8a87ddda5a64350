#include "orvexa/platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "orvexa/platform/identity.h"

namespace orvexa {
namespace {

// The macOS locations of the tools the engine runs.
const std::map<std::string, std::string, std::less<>>& defaultTools() {
  static const std::map<std::string, std::string, std::less<>> tools = {
      {"mdfind", "/usr/bin/mdfind"},   {"mdls", "/usr/bin/mdls"},
      {"launchctl", "/bin/launchctl"}, {"tccutil", "/usr/bin/tccutil"},
      {"killall", "/usr/bin/killall"}, {"dd", "/bin/dd"},
  };
  return tools;
}

struct PathsState {
  mutable std::shared_mutex mu;
  std::string root;
  Layout layout = Paths::hostLayout();
  std::map<std::string, std::string, std::less<>> tools;
};

PathsState& state() {
  static PathsState* s = new PathsState;  // never destroyed: read by late work
  return *s;
}

std::string withoutTrailingSlashes(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  if (s == "/") s.clear();
  return s;
}

bool hasPrefixFolder(std::string_view path, std::string_view folder) {
  return path.substr(0, folder.size()) == folder &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

// The home folder the password database gives `user`; /home/<user> when it
// does not know the user (a sandbox's made-up user).
std::string passwdHome(const std::string& user) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* result = nullptr;
  if (getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
      pw.pw_dir != nullptr && pw.pw_dir[0] == '/') {
    return withoutTrailingSlashes(pw.pw_dir);
  }
  return "/home/" + user;
}

}  // namespace

Layout Paths::hostLayout() {
#ifdef __APPLE__
  return Layout::macOS;
#else
  return Layout::Linux;
#endif
}

std::optional<Layout> Paths::parseLayout(std::string_view name) {
  if (name == "macos") return Layout::macOS;
  if (name == "linux") return Layout::Linux;
  return std::nullopt;
}

void Paths::setLayout(Layout layout) {
  std::unique_lock lock(state().mu);
  state().layout = layout;
}

Layout Paths::layout() const {
  std::shared_lock lock(state().mu);
  return state().layout;
}

Paths& Paths::shared() {
  static Paths instance;
  return instance;
}

void Paths::setRoot(std::string root) {
  std::unique_lock lock(state().mu);
  state().root = withoutTrailingSlashes(std::move(root));
}

std::string Paths::root() const {
  std::shared_lock lock(state().mu);
  return state().root;
}

std::string Paths::userHome() const {
  std::string r = root();
  if (r.empty()) return Identity::shared().realHome();
  if (layout() == Layout::Linux) return r + passwdHome(Identity::shared().userName());
  return r + "/Users/" + Identity::shared().userName();
}

std::string Paths::homeOf(const std::string& userName) const {
  if (layout() == Layout::Linux) return root() + passwdHome(userName);
  return usersFolder() + "/" + userName;
}

std::string Paths::resolve(std::string_view systemPath) const {
  std::string r = root();
  if (!r.empty() && hasPrefixFolder(systemPath, r)) return std::string(systemPath);
  std::string userFolder = layout() == Layout::Linux ? passwdHome(Identity::shared().userName())
                                                     : "/Users/" + Identity::shared().userName();
  if (hasPrefixFolder(systemPath, userFolder)) {
    return userHome() + std::string(systemPath.substr(userFolder.size()));
  }
  if (r.empty()) return std::string(systemPath);
  if (systemPath.empty() || systemPath.front() != '/') return r + "/" + std::string(systemPath);
  return r + std::string(systemPath);
}

std::string Paths::usersFolder() const { return root() + "/Users"; }
std::string Paths::userLibrary() const { return userHome() + "/Library"; }
std::string Paths::userApplicationSupport() const { return userLibrary() + "/Application Support"; }
std::string Paths::ownDataFolder() const {
  return layout() == Layout::Linux ? userDataFolder() : userApplicationSupport();
}
std::string Paths::ownLogFolder() const {
  return layout() == Layout::Linux ? userStateFolder() : userApplicationSupport();
}
std::string Paths::userDocuments() const { return userHome() + "/Documents"; }
std::string Paths::userTrash() const {
  return layout() == Layout::Linux ? userDataFolder() + "/Trash" : userHome() + "/.Trash";
}
std::string Paths::volumesFolder() const {
  return root() + (layout() == Layout::Linux ? "/media" : "/Volumes");
}

std::vector<std::string> Paths::mountFolders() const {
  if (layout() != Layout::Linux) return {volumesFolder()};
  const std::string r = root();
  const std::string user = Identity::shared().userName();
  return {r + "/media/" + user, r + "/media", r + "/run/media/" + user, r + "/mnt"};
}

std::vector<std::string> Paths::volumeTrashFolders(std::string_view volume,
                                                   std::optional<uid_t> user) const {
  const std::string uid = std::to_string(user.value_or(Identity::shared().userId()));
  const std::string v(volume);
  if (layout() != Layout::Linux) return {v + "/.Trashes/" + uid};
  return {v + "/.Trash-" + uid, v + "/.Trash/" + uid};
}

std::string Paths::userCacheFolder() const {
  return layout() == Layout::Linux ? userHome() + "/.cache" : userLibrary() + "/Caches";
}
std::string Paths::userThumbnailsFolder() const { return userCacheFolder() + "/thumbnails"; }
std::string Paths::userConfigFolder() const { return userHome() + "/.config"; }
std::string Paths::userDataFolder() const { return userHome() + "/.local/share"; }
std::string Paths::userAutostartFolder() const { return userConfigFolder() + "/autostart"; }
std::string Paths::userStateFolder() const { return userHome() + "/.local/state"; }

std::vector<std::string> Paths::userApplicationDataFolders() const {
  const std::string home = userHome();
  if (layout() != Layout::Linux) return {userLibrary()};
  std::vector<std::string> folders;
  for (const char* name : {".cache", ".config", ".local", ".var", ".mozilla", ".thunderbird",
                           ".npm", ".cargo", ".gradle", ".m2", ".rustup", ".gnupg", ".ssh", ".pki",
                           ".dbus", ".java", ".wine", ".steam", ".snap"}) {
    folders.push_back(home + "/" + name);
  }
  return folders;
}

std::string Paths::systemCacheFolder() const { return root() + "/var/cache"; }
std::string Paths::packageArchivesFolder() const { return systemCacheFolder() + "/apt/archives"; }
std::string Paths::systemLogFolder() const { return root() + "/var/log"; }
std::string Paths::crashReportsFolder() const { return root() + "/var/crash"; }
std::string Paths::desktopApplicationsFolder() const { return root() + "/usr/share/applications"; }
std::string Paths::systemAutostartFolder() const { return root() + "/etc/xdg/autostart"; }
std::vector<std::string> Paths::desktopApplicationFolders() const {
  if (layout() != Layout::Linux) return {};
  const std::string r = root();
  return {userDataFolder() + "/applications",
          userFlatpakFolder() + "/exports/share/applications",
          systemFlatpakFolder() + "/exports/share/applications",
          r + "/usr/local/share/applications",
          desktopApplicationsFolder(),
          r + "/var/lib/snapd/desktop/applications"};
}
std::string Paths::userFlatpakFolder() const { return userDataFolder() + "/flatpak"; }
std::string Paths::systemFlatpakFolder() const { return root() + "/var/lib/flatpak"; }
std::string Paths::flatpakDataFolder() const { return userHome() + "/.var/app"; }
std::string Paths::userSnapFolder() const { return userHome() + "/snap"; }
std::string Paths::applicationsFolder() const { return root() + "/Applications"; }
std::string Paths::systemApplicationsFolder() const { return root() + "/System/Applications"; }
std::string Paths::spotlightImportersFolder() const { return root() + "/Library/Spotlight"; }
std::string Paths::preferencePanesFolder() const { return root() + "/Library/PreferencePanes"; }
std::string Paths::internetPlugInsFolder() const { return root() + "/Library/Internet Plug-Ins"; }
std::string Paths::systemLaunchDaemonsFolder() const { return root() + "/Library/LaunchDaemons"; }
std::string Paths::privilegedHelperToolsFolder() const {
  return root() + "/Library/PrivilegedHelperTools";
}
std::string Paths::disabledTwin(std::string_view folder) {
  return std::string(folder) + " Disabled";
}

std::string Paths::tool(std::string_view name) const {
  {
    std::shared_lock lock(state().mu);
    if (auto it = state().tools.find(name); it != state().tools.end()) return it->second;
  }
  auto it = defaultTools().find(name);
  if (it != defaultTools().end()) return resolve(it->second);
  return resolve("/usr/bin/" + std::string(name));
}

void Paths::setTool(std::string name, std::string path) {
  std::unique_lock lock(state().mu);
  state().tools[std::move(name)] = std::move(path);
}

void Paths::reset() {
  std::unique_lock lock(state().mu);
  state().root.clear();
  state().tools.clear();
}

}  // namespace orvexa
