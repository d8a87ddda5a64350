// Which paths the privileged helper may act on: an allow list.
//
// The helper acts only strictly inside the folders of a HelperPathScope,
// never on those folders themselves, and everything else is refused with
// its reason in words. A scope is worked out per asking user
// (helperPathScopeFor):
// - that user's home folder, and the user's trash folder on each volume
//   (Paths::volumeTrashFolders of each mounted volume: <volume>/.Trashes/<uid>,
//   on Linux <volume>/.Trash-<uid> and <volume>/.Trash/<uid>);
// - the system folders (helperSystemFolders()): the folders the built-in
//   catalogue's categories name outside the user's home (caches, logs,
//   temporary items, extension, launch-agent, launch-daemon and helper-tool
//   folders), the folders the uninstaller looks into outside the home, and
//   the applications folder; each with its " Disabled" twin (where the
//   extension switches move items); all under the paths table's root.
//   The shared users folder (<root>/Users/Shared, which the uninstaller
//   looks into) is allowed only for entries named like a bundle identifier
//   (see helperNameIsBundleIdentifier) and their content: what people keep
//   there ("Family Photos") is nobody's application data.
// So a helper installed for one user cannot remove another user's files, nor
// a root-owned file outside every folder the catalogue names.
//
// On top of the allow list, refused are relative paths, paths with "." or
// ".." components or NUL bytes, and protected locations, as given and under
// the paths table's root (kept from the deny list this replaced, so that an
// allowed folder's protected sub-folders stay):
// - the root folder, the system program and library folders and everything
//   in them (/bin, /sbin, /lib*, /usr except deeper than /usr/local/<x>,
//   /etc, /boot, /dev, /proc, /sys, /System, /private/etc);
// - the folders of the system domain themselves, not their content
//   (/Library and its standard sub-folders such as /Library/Caches,
//   /Library/LaunchDaemons, /Library/PrivilegedHelperTools; /Applications,
//   /Users and each home folder and its Library folder, /Volumes, /var,
//   /private, /tmp, /home and each folder in it, /root, /opt, ...);
// - the system's keychains and network configuration (/Library/Keychains,
//   /Library/Preferences/SystemConfiguration) and each home's keychains,
//   with everything in them;
// - the standard folders of each home themselves (Library/Caches,
//   Library/Application Support and its MobileSync/Backup, Library/Logs,
//   Library/Preferences, Library/LaunchAgents, Library/Containers, .Trash,
//   Desktop, Documents, Downloads).
// Protected locations are matched without regard to case (the system's
// volumes ignore it by default); the allow list is matched as written.
// The check is on the text of the path; the file operations
// (privileged_file_operations.h) make sure that text is where they act, by
// never following links.
//
// Thread-safety: reentrant (reads the paths table and the identity).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace orvexa {

struct HelperPathScope {
  // Normalised absolute folders; the helper acts strictly inside them.
  std::vector<std::string> folders;
  // The same, but only below entries named like a bundle identifier.
  std::vector<std::string> bundleFolders;
};

// Whether a folder entry's name has the shape of a bundle identifier: at
// least three dot-separated parts of letters, digits, "-" and "_", the
// first starting with a letter ("com.example.app").
bool helperNameIsBundleIdentifier(std::string_view name);

// The system folders of every scope (see above), normalised; the shared
// users folder goes to *bundleFolders (when given) instead.
std::vector<std::string> helperSystemFolders(std::vector<std::string>* bundleFolders = nullptr);

// The scope of the user `uid`. Its home: for the process's own user the
// paths table's home; for another user <root>/Users/<account name> under a
// root, else the home of the password database (no home when the user has
// no account).
HelperPathScope helperPathScopeFor(uid_t uid);

// Empty when the helper may act on `path` for `scope`; otherwise the reason
// of the refusal ("Refused: ..."). On success *normalized (when given)
// holds the path with repeated and trailing slashes removed.
std::string helperPathRefusal(std::string_view path, const HelperPathScope& scope,
                              std::string* normalized = nullptr);
// The same for the process's own user.
std::string helperPathRefusal(std::string_view path, std::string* normalized = nullptr);

}  // namespace orvexa
