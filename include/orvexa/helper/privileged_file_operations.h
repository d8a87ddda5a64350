// The file work of the privileged helper: removing, shredding and moving
// items as root without ever following a symbolic link it was not asked to
// act on.
//
// Every operation walks from "/" one component at a time with folder
// descriptors (openat with O_NOFOLLOW | O_DIRECTORY) and acts on the last
// component relative to its parent's descriptor (unlinkat, renameat2). A
// component swapped for a symbolic link while the walk runs makes the open
// fail (nothing is done); a folder swapped after it was opened is still
// reached through its descriptor, i.e. at its new place, never at the
// link's target. A folder being removed is emptied through the same kind of
// walk (no link inside is followed; links are removed as links).
//
// Callers check paths first (helper_path_policy.h).
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "orvexa/helper/helper_path_policy.h"
#include "orvexa/platform/posix_error.h"
#include "orvexa/platform/verified_removal.h"

namespace orvexa {

// Test seam: called before each step of a walk with the path about to be
// opened (step 0 is "/") or, as the last step, acted on.
using HelperWalkHook = std::function<void(const std::string& path, size_t step)>;

// Removing listed items: removeListedItem (verified_removal.h), which also
// checks the item is still the one listed.

// Overwrites the regular file at `path` (or, for a folder, every regular
// file below it) with the shredder's passes, then removes the item. Links
// are removed, never shredded through. Files are overwritten in place
// (platform/shred_passes.h): only their allocated ranges, never truncated;
// an empty file counts as shredded; a file with other hard links is not
// overwritten unless `overwriteHardLinks`. When a file is not overwritten the
// item stays and *shredFailed is set; the status then carries the reason.
FileStatus shredItemWithoutFollowing(const std::string& path, bool* shredFailed,
                                     const HelperWalkHook& hook = {},
                                     bool overwriteHardLinks = false);

// Moves the item at `from` to `to` (which must not exist) within one file
// system. The folder `to` goes into is made (mode 0755) when it is missing
// and its own parent exists: the first extension switched off creates its
// folder's " Disabled" twin.
FileStatus moveItemWithoutFollowing(const std::string& from, const std::string& to,
                                    const HelperWalkHook& hook = {});

// The privileged quarantine: what a clean that can be taken back may not
// remove as the user is moved (renamed, never copied) into a folder named
// kPrivilegedQuarantineName, owned by root with mode 0700, at the top of
// the item's volume (the highest folder above it on its device), or, for an
// item below the paths table's root on that root's volume, directly under
// the root (so that a sandbox keeps its own). Each user who asks has a
// folder of their own in it, named by their user id (root's, 0700): an
// entry is <quarantine>/<uid>/<name>, and beside it ".origin-<name>" holds
// the path it came from, written before the item moves. Only that user
// (or root) may restore or purge the entry, and a user restores it only to
// where it came from; names starting with "." are the helper's own. The
// folders are made when missing and refused when they are links, on another
// device or not the process's own with mode 0700. Entries put directly into
// the quarantine folder (without a user's folder) are no entries any more:
// nobody could tell whose they were.
inline constexpr std::string_view kPrivilegedQuarantineName = ".orvexa-quarantine";
// The folder for an item at `path` (empty when its folder cannot be examined).
std::string privilegedQuarantineFor(const std::string& path);
// Whether `path` is named like an entry of a user's folder of a quarantine
// folder: absolute, without "." or ".." components, empty components or a
// trailing slash, and its folder's folder named like the quarantine. Only
// the text is looked at; privilegedQuarantineEntryOwner checks the disk.
inline bool namedLikeQuarantineEntry(const std::string& path) {
  if (path.empty() || path.front() != '/' || path.back() == '/' ||
      path.find('\0') != std::string::npos || path.find("//") != std::string::npos ||
      path.find("/./") != std::string::npos || path.find("/../") != std::string::npos) {
    return false;
  }
  const std::string_view name = std::string_view(path).substr(path.rfind('/') + 1);
  std::string folder = path.substr(0, path.rfind('/'));
  folder.resize(folder.empty() ? 0 : folder.rfind('/'));
  return name != "." && name != ".." &&
         std::string_view(folder).substr(folder.rfind('/') + 1) == kPrivilegedQuarantineName;
}

// The user whose entry the normalised `path` is (<quarantine>/<uid>/<name>
// of its volume's quarantine folder); nullopt when it is none.
std::optional<uid_t> privilegedQuarantineEntryOwner(const std::string& path);
// Why user `asker` may not purge (`to` null) or restore to `*to` the entry
// at `path`, in words (EPERM); ok when they may. Root may do anything.
FileStatus quarantineEntryRefusal(const std::string& path, uid_t asker, const std::string* to);
// Removes the record of where the entry at `path` came from (after it was
// restored or purged).
void forgetQuarantineOrigin(const std::string& path);

// Moves the listed item (checked as by moveListedItem, reached from "/"
// without links) into the folder of user `asker` in its volume's
// quarantine as `name` (one component, not starting with "."), recording
// its original path; *quarantined gets its new path.
FileStatus quarantineListedItem(const ListedItem& item, const std::string& name, uid_t asker,
                                std::string* quarantined, const HelperWalkHook& hook = {});

// What an item is given back with.
struct ItemAttributes {
  uid_t owner = 0;
  gid_t group = 0;
  mode_t mode = 0;
  int64_t accessNs = 0, modificationNs = 0;
};

// "name (N).ext": the name a put-back item takes when its place is taken.
std::string numberedName(const std::string& name, int n);

// Moves the listed item into the open folder `folderFd` as `name`, or, when
// that is taken, as numberedName(name, 2), 3, ...; *placedAs gets the name
// used. Then the owner (an error only when running as root; the owner
// first, since a change of owner clears set-id bits), mode (not of a link)
// and times are set as in `attributes`.
FileStatus putBackListedItem(const ListedItem& item, int folderFd, const std::string& name,
                             const ItemAttributes& attributes, std::string* placedAs,
                             const RemovalOptions& options = {});

// Puts the quarantined listed item back at `to` (normalised) as
// putBackListedItem does, its folders re-made (mode 0755) where missing,
// each reached from "/" without following links; *restoredAs gets the path.
// Owner and mode stay those the item kept in the root-only quarantine
// (whoever asks cannot choose them); the access time is `accessNs`, the
// modification time the listed one.
FileStatus restoreQuarantinedItem(const ListedItem& item, const std::string& to, int64_t accessNs,
                                  std::string* restoredAs, const HelperWalkHook& hook = {});

}  // namespace orvexa
