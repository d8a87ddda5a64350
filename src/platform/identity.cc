#include "orvexa/platform/identity.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

namespace orvexa {
namespace {

struct IdentityState {
  std::mutex mu;
  std::string userName;  // override; empty = the effective user's name
  std::string bundleIdentifier;
  std::string bundleVersion;
  bool reInstallHelper = false;
  std::string resourcesFolder;
  std::set<std::string> images;
};

IdentityState& state() {
  static IdentityState* s = new IdentityState;  // never destroyed: used by late log lines
  return *s;
}

}  // namespace

Identity& Identity::shared() {
  static Identity instance;
  return instance;
}

std::string accountNameOf(uid_t uid) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* result = nullptr;
  if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &result) != 0 || result == nullptr) return {};
  return pw.pw_name;
}

std::string Identity::userName() const {
  {
    std::lock_guard lock(state().mu);
    if (!state().userName.empty()) return state().userName;
  }
  std::string name = accountNameOf(geteuid());
  if (name.empty()) name = std::to_string(geteuid());
  return name;
}

void Identity::setUserName(std::string name) {
  std::lock_guard lock(state().mu);
  state().userName = std::move(name);
}

uid_t Identity::userId() const { return geteuid(); }

std::string Identity::realHome() const {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    std::string h = home;
    while (h.size() > 1 && h.back() == '/') h.pop_back();
    return h;
  }
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* result = nullptr;
  if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
      pw.pw_dir != nullptr) {
    return pw.pw_dir;
  }
  return "/tmp";
}

std::string Identity::bundleIdentifier() const {
  std::lock_guard lock(state().mu);
  return state().bundleIdentifier;
}
void Identity::setBundleIdentifier(std::string id) {
  std::lock_guard lock(state().mu);
  state().bundleIdentifier = std::move(id);
}
std::string Identity::bundleVersion() const {
  std::lock_guard lock(state().mu);
  return state().bundleVersion;
}
void Identity::setBundleVersion(std::string version) {
  std::lock_guard lock(state().mu);
  state().bundleVersion = std::move(version);
}
bool Identity::reInstallHelper() const {
  std::lock_guard lock(state().mu);
  return state().reInstallHelper;
}
void Identity::setReInstallHelper(bool value) {
  std::lock_guard lock(state().mu);
  state().reInstallHelper = value;
}
std::string Identity::resourcesFolder() const {
  std::lock_guard lock(state().mu);
  return state().resourcesFolder;
}
void Identity::setResourcesFolder(std::string folder) {
  std::lock_guard lock(state().mu);
  state().resourcesFolder = std::move(folder);
}
void Identity::registerImage(const std::string& name) {
  std::lock_guard lock(state().mu);
  state().images.insert(name);
}
bool Identity::hasImage(const std::string& name) const {
  std::lock_guard lock(state().mu);
  return state().images.count(name) != 0;
}

void Identity::reset() {
  std::lock_guard lock(state().mu);
  state().userName.clear();
  state().bundleIdentifier.clear();
  state().bundleVersion.clear();
  state().reInstallHelper = false;
  state().resourcesFolder.clear();
  state().images.clear();
}

}  // namespace orvexa
