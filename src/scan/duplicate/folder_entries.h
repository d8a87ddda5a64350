// Internal: listing folders for the duplicate scan, without following any
// symbolic link below the folder asked for.
//
// Thread-safety: safe for concurrent use.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvexa::duplicate_internal {

// One entry of a folder with what lstat says of it.
struct FolderEntry {
  std::string name;
  struct stat status {};
};

// The entries of `folder` (not "." and ".."), in byte-wise name order. An
// entry that vanishes between listing and examining is left out. Nothing
// when `folder` cannot be opened as a folder; a final symbolic link of
// `folder` itself is followed only when `followLink` is set.
std::optional<std::vector<FolderEntry>> readFolderEntries(const std::string& folder,
                                                          bool followLink);

// The same for the folder open as `fd` (which stays open).
std::optional<std::vector<FolderEntry>> entriesOf(int fd);

// One regular file below a folder.
struct FolderFile {
  std::string path;
  int64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
};

// The regular files below `folder` in walk order: pre-order, the entries of
// each folder in byte-wise name order. Sub-folders that cannot be read add
// nothing. Nothing when `folder` itself cannot be opened as a folder (a
// final symbolic link of it is followed). `shouldStop`, when given, is asked
// before each folder; once it answers true the listing ends with what it has.
std::optional<std::vector<FolderFile>> listFolderFiles(const std::string& folder,
                                                       const std::function<bool()>& shouldStop);

// "a" + "/" + "b", without doubling a slash after "/".
std::string joinPath(const std::string& folder, const std::string& name);

// The number of components of `path` as the system counts them: "/" is one,
// "/Users" two, "/Users/name" three. A trailing slash adds nothing.
size_t pathComponentCount(const std::string& path);

// True when `path` is `folder` or lies below it.
bool isSameOrBelow(const std::string& path, const std::string& folder);

}  // namespace orvexa::duplicate_internal
