// Walking a folder tree: the directory enumerator the scan engine is built
// on, and a fast sum of the logical sizes below a folder.
//
// Both walk depth-first without recursion and relative to folder
// descriptors, so trees of any depth (and paths longer than PATH_MAX) work
// with a bounded number of open descriptors. Symbolic links below the root
// are reported as links and never followed; a root that is a link to a
// folder is followed (a walk of "/tmp" walks what it points to).
//
// Thread-safety: an enumerator belongs to one thread; different enumerators
// and treeLogicalSize calls may run concurrently.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "orvexa/platform/resource_values.h"

namespace orvexa {

enum class EnumerationOptions : unsigned {
  none = 0,
  skipsSubdirectoryDescendants = 1,  // report the root's children only
  skipsPackageDescendants = 2,       // report packages, not what they hold
  skipsHiddenFiles = 4,              // leave out names starting with "." and their contents
};

constexpr EnumerationOptions operator|(EnumerationOptions a, EnumerationOptions b) {
  return static_cast<EnumerationOptions>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool hasOption(EnumerationOptions set, EnumerationOptions option) {
  return (static_cast<unsigned>(set) & static_cast<unsigned>(option)) != 0;
}

namespace detail {
class FolderChain;
}

class DirectoryEnumerator {
 public:
  // Called with the path of a folder that cannot be opened or read (or of an
  // item that cannot be examined) and the system's text for the error
  // ("Permission denied"). Returning true continues the walk without that
  // folder; false ends it.
  using ErrorHandler = std::function<bool(const std::string& path, const std::string& error)>;

  // Nothing is touched until the first next(). A root that is not a folder
  // (or cannot be opened) is reported to the error handler and yields
  // nothing.
  explicit DirectoryEnumerator(std::string root,
                               EnumerationOptions options = EnumerationOptions::none,
                               ErrorHandler errorHandler = {},
                               ResourceFetch fetch = ResourceFetch::basic);
  ~DirectoryEnumerator();
  DirectoryEnumerator(DirectoryEnumerator&&) noexcept;
  DirectoryEnumerator& operator=(DirectoryEnumerator&&) noexcept;
  DirectoryEnumerator(const DirectoryEnumerator&) = delete;
  DirectoryEnumerator& operator=(const DirectoryEnumerator&) = delete;

  // The next item, depth-first in pre-order: a folder comes before its
  // contents, and the entries of each folder come in byte-wise name order.
  // The root itself is not reported. Nothing once the walk is over. An item
  // that vanishes between listing and examining is left out silently.
  std::optional<ResourceValues> next();

  // Leaves out the descendants of the item next() returned last.
  void skipDescendants();

  // The depth of the item next() returned last: 1 for the root's children.
  int level() const { return level_; }

  // The descriptor of the folder that holds the item next() returned last,
  // for calls relative to it (openat with the item's name): cheaper than its
  // whole path, and not limited by PATH_MAX. It belongs to the enumerator
  // and is valid until the next call of next(); -1 when there is none.
  int folderDescriptor();

  // Test seams: an open fault is asked with a folder's path before it is
  // opened (a nonzero errno makes the open fail with it); the descriptor
  // limit makes deep walks close and reopen folders sooner.
  void setOpenFaultForTesting(std::function<int(const std::string& path)> fault);
  void setMaxOpenDescriptorsForTesting(size_t count);

 private:
  bool start();
  void descend();
  bool report(const std::string& path, int err);

  std::string root_;
  EnumerationOptions options_;
  ErrorHandler errorHandler_;
  ResourceFetch fetch_;
  std::unique_ptr<detail::FolderChain> chain_;
  bool started_ = false;
  bool finished_ = false;
  bool descendPending_ = false;
  std::string pendingName_;
  int level_ = 0;
};

// The sum of the logical sizes (st_size as lstat reports it) of every entry
// below `path` that is not a folder (files, links and others alike),
// following no link below it. Folders add nothing of their own, so a tree of
// empty folders has size 0. Hard-linked files count once per link. Folders
// that cannot be read add what could be seen of them. A path that is not a
// folder gives 0. `shouldStop`, when given, is asked
// between entries; once it answers true the walk ends and returns what it
// has summed.
int64_t treeLogicalSize(const std::string& path, const std::function<bool()>& shouldStop = {});

struct TreeSizes {
  int64_t logical = 0;    // as treeLogicalSize
  int64_t allocated = 0;  // st_blocks * 512, what removing the tree gives back
};
// Both sizes of the tree in one walk. The allocated size counts a file with
// several hard links once, and only when all its links lie below `path`
// (removing the tree frees nothing of a file named elsewhere too).
TreeSizes treeSizes(const std::string& path, const std::function<bool()>& shouldStop = {});

}  // namespace orvexa
