// The paths table: every fixed absolute location the engine uses (user and
// system folders, tool programs) comes from here.
//
// A settable root prefix (empty by default) puts the system locations under a
// sandbox laid out like a macOS system: with root R and user NAME,
// "/Library/Logs/" is R/Library/Logs/ and the user's home is R/Users/NAME.
// Without a root, the user's home is the real home folder of the effective
// user (there is no /Users on Linux) and the other locations are as written.
//
// Two layouts name the user and system folders: `macOS` (the one above) and
// `Linux` (a freedesktop.org desktop on a Linux system). With a root R the
// Linux layout puts the user's home at R followed by the user's home folder
// in the password database (R/home/NAME when the database does not know the
// user) and every system location (/var/cache, /var/log, /usr/share/
// applications, /etc/xdg/autostart, the mount folders /media, /run/media,
// /mnt) under R. The default layout is the host's system; reset() leaves the
// layout alone, since a host chooses it once at start-up. The named folders
// below answer for the layout in force, so scanners never spell a location.
//
// Tools ("mdfind", "mdls", "launchctl", "tccutil", "killall", "dd") default to
// their macOS paths under the root; each can be put elsewhere with setTool.
//
// Thread-safety: safe for concurrent use. Settings are meant to be changed
// before scans start (the host at start-up, tests in their fixtures).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvexa {

// Capitalised: GNU C++ predefines `linux` as a macro.
enum class Layout { macOS, Linux };

class Paths {
 public:
  // The layout of the system this program runs on.
  static Layout hostLayout();
  // "macos" or "linux"; nullopt for any other text.
  static std::optional<Layout> parseLayout(std::string_view name);
  void setLayout(Layout layout);
  Layout layout() const;

  // The process-wide table.
  static Paths& shared();

  void setRoot(std::string root);
  std::string root() const;

  // A system path as macOS writes it, placed under the root. Paths under
  // "/Users/<current user>" go to userHome(); a path already under the root
  // is returned unchanged. Trailing slashes are kept.
  std::string resolve(std::string_view systemPath) const;

  std::string usersFolder() const;  // R/Users
  std::string userHome() const;     // macOS R/Users/NAME, Linux R/<passwd home>, or the real home
  std::string userLibrary() const;  // home/Library
  std::string userApplicationSupport() const;  // home/Library/Application Support
  // Where this engine keeps its own files, each in a folder named by the
  // host's bundle identifier: data (the undo journal) in Application Support
  // (Linux home/.local/share), the log there too (Linux home/.local/state),
  // caches (the digest cache) in home/Library/Caches (Linux home/.cache). A
  // Linux home thus never gets a Library folder of ours.
  std::string ownDataFolder() const;
  std::string ownLogFolder() const;
  std::string userDocuments() const;  // home/Documents
  std::string userTrash() const;      // home/.Trash; Linux home/.local/share/Trash
  std::string volumesFolder() const;  // R/Volumes; Linux R/media
  // The folders whose entries are mounted volumes: R/Volumes; on Linux
  // R/media/NAME, R/media, R/run/media/NAME and R/mnt.
  std::vector<std::string> mountFolders() const;
  // A user's trash folders on a mounted volume (`uid` default: the current
  // user's): <volume>/.Trashes/UID; on Linux <volume>/.Trash-UID and
  // <volume>/.Trash/UID.
  std::vector<std::string> volumeTrashFolders(std::string_view volume,
                                              std::optional<uid_t> uid = std::nullopt) const;
  // Another user's home under the root: R/Users/NAME; on Linux R followed by
  // NAME's passwd home folder (/home/NAME when unknown).
  std::string homeOf(const std::string& userName) const;

  // Linux user folders (freedesktop.org base directories at their defaults).
  std::string userCacheFolder() const;       // home/.cache (macOS home/Library/Caches)
  std::string userThumbnailsFolder() const;  // home/.cache/thumbnails
  std::string userConfigFolder() const;      // home/.config
  std::string userDataFolder() const;        // home/.local/share
  std::string userAutostartFolder() const;   // home/.config/autostart
  std::string userStateFolder() const;       // home/.local/state
  // The home's hidden folders where applications keep their own files.
  std::vector<std::string> userApplicationDataFolders() const;

  // Linux system folders.
  std::string systemCacheFolder() const;          // R/var/cache
  std::string packageArchivesFolder() const;      // R/var/cache/apt/archives
  std::string systemLogFolder() const;            // R/var/log
  std::string crashReportsFolder() const;         // R/var/crash
  std::string desktopApplicationsFolder() const;  // R/usr/share/applications
  std::string systemAutostartFolder() const;      // R/etc/xdg/autostart
  // The folders of desktop entries that list applications, the one whose
  // entry wins for a desktop id first: home/.local/share/applications, the
  // user's and the system's Flatpak exports, R/usr/local/share/applications,
  // R/usr/share/applications, R/var/lib/snapd/desktop/applications. Empty
  // under the macOS layout.
  std::vector<std::string> desktopApplicationFolders() const;
  std::string userFlatpakFolder() const;         // home/.local/share/flatpak
  std::string systemFlatpakFolder() const;       // R/var/lib/flatpak
  std::string flatpakDataFolder() const;         // home/.var/app (a Flatpak's own home)
  std::string userSnapFolder() const;            // home/snap
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

  // Back to the defaults: no root, no tool overrides (the layout stays).
  void reset();

 private:
  Paths() = default;
};

}  // namespace orvexa
