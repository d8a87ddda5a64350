// The chain of open folders from a walk's root down to the folder being
// read, shared by the directory enumerator, the size walk and recursive
// removal.
//
// Walks work relative to folder descriptors (openat, fstatat, unlinkat), so
// trees deeper than PATH_MAX allows still work and no symbolic link below the
// root is ever followed. At most `maxOpen` descriptors are held: when a walk
// goes deeper, the shallowest descriptors are closed and reopened on demand,
// through ".." from a deeper open folder or down from the root, each time
// checking the device and inode recorded when the folder was first opened.
//
// Thread-safety: one chain belongs to one thread.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvexa/platform/posix_error.h"
#include "platform/unique_fd.h"

namespace orvexa::detail {

struct FolderEntry {
  std::string name;
  unsigned char type = 0;  // d_type: DT_DIR, DT_REG, ... or DT_UNKNOWN
};

class FolderChain {
 public:
  static constexpr size_t kDefaultMaxOpen = 48;

  struct Frame {
    UniqueFd fd;  // closed while evicted or retired
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t mode = 0;                   // type and permissions when the folder was first opened
    uid_t uid = 0;                     // its owner then
    std::string name;                  // within the parent; the root's is its whole path
    size_t pathLength = 0;             // length of the chain's path at this folder
    bool retired = false;              // its walk no longer needs the descriptor
    std::vector<FolderEntry> entries;  // for the walk's own use
    size_t next = 0;

    // Keeps what fstat said of the folder when it was opened.
    void take(const struct stat& st) {
      dev = st.st_dev;
      ino = st.st_ino;
      mode = st.st_mode;
      uid = st.st_uid;
    }
  };

  explicit FolderChain(size_t maxOpen = kDefaultMaxOpen);

  // Opens the root folder; a final symbolic link is followed only when
  // `followLink`. Returns 0 or an errno value (ENOTDIR for a non-folder).
  int openRoot(const std::string& path, bool followLink);
  // Opens `name` inside the deepest folder as the new deepest folder, never
  // following a link. When `retireParent`, the parent's descriptor is closed
  // afterwards and it is not reopened for the walk again. 0 or an errno.
  int push(const std::string& name, bool retireParent);
  // Drops the deepest folder. Before its descriptor closes, it is used to
  // reach the nearest ancestor that is not retired, should that one have
  // lost its descriptor.
  void pop();

  bool empty() const { return frames_.empty(); }
  size_t depth() const { return frames_.size(); }
  Frame& top() { return frames_.back(); }
  Frame& at(size_t index) { return frames_[index]; }

  // The descriptor of the folder at `index`, reopened if it was closed;
  // -1 with *err set when that fails.
  int fdOf(size_t index, int* err);

  // The deepest folder's path, and the path of an entry inside it.
  std::string_view path() const { return path_; }
  std::string childPath(std::string_view name) const;

  // Calls fn(name, d_type) for every entry of the open folder `fd` except
  // "." and "..". Returns 0 or an errno value.
  int readEntries(int fd, const std::function<void(const char*, unsigned char)>& fn);
  // Reads the deepest folder's entries, in the order the file system gives
  // them, into its frame (those read before an error too). Returns 0 or an
  // errno value.
  int loadTop();

  // What a post-order walk asks of its caller (see walkPostOrder).
  struct PostOrderVisitor {
    // An entry of the folder open as `fd`: true to walk into it as a folder
    // (anything else about it is the caller's business, and done here).
    std::function<bool(int fd, const FolderEntry& entry)> entry;
    // Walking into `entry` failed with the errno value `err`: it went, it
    // is no folder after all, it cannot be opened.
    std::function<void(int fd, const FolderEntry& entry, int err)> descendFailed;
    // Every entry of the folder `name` inside `parentFd` (at `path`) has
    // been visited. Not called for the root.
    std::function<void(int parentFd, const std::string& name, const std::string& path)> folderDone;
    // A folder at `path` could not be listed or reopened.
    std::function<void(int err, const std::string& path)> error;
  };
  // Walks everything below the root (opened before), depth first, each
  // folder's content before the folder itself, so that a folder is reached
  // once the caller has emptied it. Links are never followed. The chain is
  // empty afterwards.
  void walkPostOrder(const PostOrderVisitor& visitor);

  // Test seam: consulted with a folder's path before it is opened; a nonzero
  // result makes the open fail with that errno value.
  std::function<int(const std::string& path)> openFault;

 private:
  // Opens a folder and reports what fstat says of it.
  int openChecked(int parentFd, const char* name, bool followLink, UniqueFd* out, struct stat* st);
  void makeRoomFor(size_t keepA, size_t keepB);
  int reopenUpwards(size_t from, size_t index);
  int reopenDownwards(size_t index);
  void adopt(size_t index, UniqueFd fd);

  size_t maxOpen_;
  size_t openCount_ = 0;
  size_t lowestOpen_ = 0;  // no frame below this index holds a descriptor
  std::vector<Frame> frames_;
  std::string path_;
  std::unique_ptr<char[]> buffer_;
};

// What walkBelow hands its visitor for each entry: the open folder holding
// it, its name, what fstatat said of it (for a finished folder only its
// type), the path to show in messages, and whether it is a folder all of
// whose entries have been visited.
using BelowVisit =
    std::function<FileStatus(int parentFd, const std::string& name, const struct stat& st,
                             const std::string& shown, bool folderDone)>;

// Visits everything below the open folder `rootFd`, depth first, each
// folder after its content (so a folder is reached once the visitor has
// emptied it), never following a link; the root itself is the caller's.
// When `device` is nonzero, a folder on another device is not entered nor
// visited and counts as a failure ("another file system is mounted here").
// `display` names the root in messages. Returns the first failure; the walk
// goes on past failures. Entries that vanish during the walk are skipped.
FileStatus walkBelow(int rootFd, const std::string& display, dev_t device, const BelowVisit& visit);

// open(2) of `path` with `flags` for a path of any length: one longer than
// the system takes is opened a piece at a time, each piece relative to the
// folder the one before opened (folders on the way are followed as a
// whole-path open would). Invalid, with errno set, on failure.
UniqueFd openLongPath(const std::string& path, int flags);

}  // namespace orvexa::detail
