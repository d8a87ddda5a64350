// The paths table: every fixed absolute location the engine uses (user and
// system folders, tool programs) comes from here.
//
// A settable root prefix (empty by default) puts the system locations under a
// sandbox laid out like a macOS system: with root R and user NAME,
// "/Library/Logs/" is R/Library/Logs/ and the user's home is R/Users/NAME.
// Without a root, the user's home is the real home folder of the effective
// user (there is no /Users on Linux) and the other locations are as written.
//
// Tools ("mdfind", "mdls", "launchctl", "tccutil", "killall", "dd") default to
// their macOS paths under the root; each can be put elsewhere with setTool.
//
// Thread-safety: safe for concurrent use. Settings are meant to be changed
// before scans start (the host at start-up, tests in their fixtures).
#pragma once

#include <string>
#include <string_view>

namespace orvexa {

class Paths {
 public:
  // The process-wide table.
  static Paths& shared();

  void setRoot(std::string root);
  std::string root() const;

  // A system path as macOS writes it, placed under the root. Paths under
  // "/Users/<current user>" go to userHome(); a path already under the root
  // is returned unchanged. Trailing slashes are kept.
  std::string resolve(std::string_view systemPath) const;

  std::string usersFolder() const;               // R/Users
  std::string userHome() const;                  // R/Users/NAME or the real home
  std::string userLibrary() const;               // home/Library
  std::string userApplicationSupport() const;    // home/Library/Application Support
  std::string userDocuments() const;             // home/Documents
  std::string userTrash() const;                 // home/.Trash
  std::string volumesFolder() const;             // R/Volumes
  std::string applicationsFolder() const;        // R/Applications
  std::string systemApplicationsFolder() const;  // R/System/Applications

  // System-domain extension folders (switched off by moving items into the
  // folder's " Disabled" twin: disabledTwin(folder) = folder + " Disabled").
  std::string spotlightImportersFolder() const;     // R/Library/Spotlight
  std::string preferencePanesFolder() const;        // R/Library/PreferencePanes
  std::string internetPlugInsFolder() const;        // R/Library/Internet Plug-Ins
  std::string systemLaunchDaemonsFolder() const;    // R/Library/LaunchDaemons
  std::string privilegedHelperToolsFolder() const;  // R/Library/PrivilegedHelperTools
  static std::string disabledTwin(std::string_view folder);

  // The program for a tool, by its short name ("mdfind"). Unknown names
  // resolve to R/usr/bin/<name>.
  std::string tool(std::string_view name) const;
  void setTool(std::string name, std::string path);

  // Back to the defaults: no root, no tool overrides.
  void reset();

 private:
  Paths() = default;
};

}  // namespace orvexa
