// Verified removal: the one way every clean path (direct, the privileged
// helper, in-process as root) removes a listed item. It removes the item a
// scan listed and nothing else.
//
// An item is reached from its scan root: the root is opened (a link there
// is followed when `followRootLink`: the root is what the user or the
// catalogue named; the helper opens it from "/" without following any
// link), each further component relative to the previous one with
// openat(O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC); the item itself is examined
// with fstatat(AT_SYMLINK_NOFOLLOW) and compared with its listed identity
// (listed_identity.h). Only then is it removed relative to its parent:
// unlinkat for anything but a folder; a folder is emptied first by a
// post-order walk that never follows links and stays on the folder's
// device (a mount point inside is left, and the folder with it).
// No full path reaches a system call, so trees deeper than PATH_MAX are
// removed as well, and neither a link swapped in below the root nor a
// replaced item can redirect the removal.
//
// Outcomes, as the FileStatus message (which the clean writes into the
// record's deleteErrorDesc):
// - kChangedText ("changed since it was listed"): the item, or a folder on
//   the way to it, vanished, was replaced, edited or swapped for a link;
//   nothing is removed.
// - kOutsideText ("outside the scanned folders"): the path is not a root
//   or below one, or holds "." or ".." components; nothing is examined.
// - the system's error text for anything else (no rights, busy, ...).
// A root that is itself the item is reached through its parent folder.
// Between the check and the unlinkat a racing process could still swap the
// name; that window is one system call wide.
//
// Thread-safety: the functions may be called from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "orvexa/platform/listed_identity.h"
#include "orvexa/platform/posix_error.h"

namespace orvexa {

inline constexpr const char* kChangedText = "changed since it was listed";
inline constexpr const char* kOutsideText = "outside the scanned folders";

// One listed item: where it was found and what it was.
struct ListedItem {
  std::string root;  // the scan root it was found under (absolute)
  std::string path;  // absolute
  ListedIdentity identity;
};

struct RemovalOptions {
  bool followRootLink = true;
  // Test seam: called with each path about to be opened (the root first,
  // as step 0) and, as the last step, the item about to be examined.
  std::function<void(const std::string& path, size_t step)> hook;
};

// The root among `roots` that `path` is or lies below (the deepest one);
// empty when there is none. Both are compared as normalised texts.
std::string rootFor(const std::string& path, const std::vector<std::string>& roots);

// Ok when the item is still the one listed (reached as above).
FileStatus checkListedItem(const ListedItem& item, const RemovalOptions& options = {});

// Removes the item after checking it is still the one listed. An item
// directly inside a scan root named "files" (a freedesktop.org trash) takes
// its "../info/<name>.trashinfo" with it when that is a regular file, reached
// the same way; the item's outcome alone is returned.
FileStatus removeListedItem(const ListedItem& item, const RemovalOptions& options = {});

// Moves the item, after checking it is still the one listed, into the open
// folder `destinationFd` under `destinationName`: one renameat2 with
// RENAME_NOREPLACE, never a copy. An item on another file system than the
// destination is not moved (EXDEV, kOtherVolumeText); a taken name gives
// EEXIST. The folder stays what it was: rename keeps owner, mode and times.
inline constexpr const char* kOtherVolumeText = "on another file system than its trash; not moved";
FileStatus moveListedItem(const ListedItem& item, int destinationFd,
                          const std::string& destinationName, const RemovalOptions& options = {});

// Compares two listed items byte for byte after checking both are still
// what was listed (each reached as above): regular files by content,
// folders by their entries' names, types and content, links by their
// targets. Ok when identical; kChangedText when either changed; a message
// saying how they differ otherwise.
FileStatus compareListedItems(const ListedItem& a, const ListedItem& b,
                              const RemovalOptions& options = {});

}  // namespace orvexa
