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

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "orvexa/helper/helper_path_policy.h"
#include "orvexa/platform/posix_error.h"

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

}  // namespace orvexa
