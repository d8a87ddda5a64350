// Who the engine runs as and for which host: the account name (NSUserName:
// the effective user), numeric user id, real home folder, and the host
// application's bundle identifier, "CFBundleVersion", "ReInstallHelper",
// resources folder and registry of named images.
//
// Everything is settable so that a host (or a test) can describe itself; the
// defaults come from the process (the effective user) and name no bundle.
// Thread-safety: safe for concurrent use.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace orvexa {

class Identity {
 public:
  static Identity& shared();

  std::string userName() const;
  void setUserName(std::string name);  // tests; empty restores the default
  uid_t userId() const;
  std::string realHome() const;  // $HOME, else the password database

  std::string bundleIdentifier() const;  // empty when the host has none
  void setBundleIdentifier(std::string id);
  std::string bundleVersion() const;  // "CFBundleVersion"
  void setBundleVersion(std::string version);
  bool reInstallHelper() const;  // "ReInstallHelper"
  void setReInstallHelper(bool value);
  std::string resourcesFolder() const;
  void setResourcesFolder(std::string folder);

  void registerImage(const std::string& name);
  bool hasImage(const std::string& name) const;

  void reset();

 private:
  Identity() = default;
};

// The account name of a numeric user id, or empty when it has none.
std::string accountNameOf(uid_t uid);

}  // namespace orvexa
