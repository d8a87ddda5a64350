// The file manager: existence, deletability and owner queries, attributes,
// resource values, and creating, copying, moving and removing items, over
// POSIX calls and the non-throwing std::filesystem overloads.
//
// Paths are absolute or relative to the working folder. Unless a function
// says otherwise, a final symbolic link is not followed ("the item" is the
// link itself), like the platform's attribute and removal calls; the
// existence queries follow links, like the platform's.
//
// Resource values: resource_values.h; walking trees and their sizes:
// directory_enumerator.h.
//
// Thread-safety: everything here is safe for concurrent use.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/posix_error.h"
#include "orvexa/platform/resource_values.h"
#include "orvexa/platform/url.h"

namespace orvexa {

enum class FileType {
  regular,
  directory,
  symbolicLink,
  socket,
  characterSpecial,
  blockSpecial,
  fifo,
  unknown,
};

// What attributesOfItem reports (the item itself, links not followed).
struct FileAttributes {
  FileType type = FileType::unknown;
  int64_t size = 0;
  uint32_t posixPermissions = 0;  // the 07777 bits
  uid_t ownerAccountID = 0;
  gid_t groupOwnerAccountID = 0;
  std::string ownerAccountName;       // empty when the id has no account
  std::string groupOwnerAccountName;  // empty when the id has no group
  std::chrono::system_clock::time_point modificationDate;
  std::chrono::system_clock::time_point creationDate;  // as in ResourceValues
  uint64_t systemNumber = 0;                           // device
  uint64_t systemFileNumber = 0;                       // inode
  uint64_t referenceCount = 0;                         // hard links
};

// True when something is at `path` (following links: a dangling link is
// nothing).
bool fileExists(const std::string& path);
// The same, also telling whether it is a directory.
bool fileExists(const std::string& path, bool* isDirectory);
bool isDirectory(const std::string& path);

// True when the effective user may remove the item: its parent folder is
// writable and searchable for that user and, when the parent has the sticky
// bit, the user owns the item or the parent or is root. The item's own
// permissions and what a folder holds do not matter.
bool isDeletableFileAtPath(const std::string& path);

// The account name of the item's owner; empty when the item cannot be
// examined or its owner has no account.
std::string ownerAccountName(const std::string& path);

std::optional<FileAttributes> attributesOfItem(const std::string& path,
                                               FileStatus* status = nullptr);

// Creates a folder (mode 0777 less the umask). With intermediates, missing
// parents are made too and an existing folder is success; without, an
// existing item is EEXIST.
FileStatus createDirectory(const std::string& path, bool withIntermediates);

// Removes the item; a folder with everything in it. Links are removed, not
// followed. Removal goes on past items that cannot be removed, and the first
// failure is returned.
FileStatus removeItem(const std::string& path);

// Copies the item to `to`, which must not exist; folders with their contents,
// links as links. Permissions are kept, dates are not.
FileStatus copyItem(const std::string& from, const std::string& to);

// Moves the item to `to`, which must not exist; across file systems by copy
// and removal.
FileStatus moveItem(const std::string& from, const std::string& to);

// The names in a folder (hidden ones too, not "." and ".."), sorted; none
// when it cannot be read (`status` then says why).
std::vector<std::string> contentsOfDirectory(const std::string& path, FileStatus* status = nullptr);

// The volumes mounted under the volumes folder of the paths table, in name
// order; none when that folder is missing.
std::vector<Url> mountedVolumeURLs();

}  // namespace orvexa
