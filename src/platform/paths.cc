#include "orvexa/platform/paths.h"

#include <map>
#include <mutex>
#include <shared_mutex>

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

}  // namespace

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
  return r + "/Users/" + Identity::shared().userName();
}

std::string Paths::resolve(std::string_view systemPath) const {
  std::string r = root();
  if (!r.empty() && hasPrefixFolder(systemPath, r)) return std::string(systemPath);
  std::string userFolder = "/Users/" + Identity::shared().userName();
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
std::string Paths::userDocuments() const { return userHome() + "/Documents"; }
std::string Paths::userTrash() const { return userHome() + "/.Trash"; }
std::string Paths::volumesFolder() const { return root() + "/Volumes"; }
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
