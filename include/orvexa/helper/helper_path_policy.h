// Which paths the privileged helper may act on.
//
// Refused are relative paths, paths with "." or ".." components or NUL
// bytes, and protected locations, as given and under the paths table's
// root:
// - the root folder, the system program and library folders and everything
//   in them (/bin, /sbin, /lib*, /usr except deeper than /usr/local/<x>,
//   /etc, /boot, /dev, /proc, /sys, /System, /private/etc);
// - the folders of the system domain themselves, not their content
//   (/Library and its standard sub-folders such as /Library/Caches,
//   /Library/LaunchDaemons, /Library/PrivilegedHelperTools; /Applications,
//   /Users and each home folder and its Library folder, /Volumes, /var,
//   /private, /tmp, /home and each folder in it, /root, /opt, ...).
// The check is on the text of the path; the file operations
// (privileged_file_operations.h) make sure that text is where they act, by
// never following links.
//
// Thread-safety: reentrant (reads the paths table).
#pragma once

#include <string>
#include <string_view>

namespace orvexa {

// Empty when the helper may act on `path`; otherwise the reason of the
// refusal ("Refused: ..."). On success *normalized (when given) holds the
// path with repeated and trailing slashes removed.
std::string helperPathRefusal(std::string_view path, std::string* normalized = nullptr);

}  // namespace orvexa
