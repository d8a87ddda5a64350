#include "platform/folder_chain.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace orvexa::detail {
namespace {

constexpr size_t kBufferSize = 64 * 1024;
// "../" repeated this often stays well below PATH_MAX.
constexpr size_t kDotDotChunk = 1000;
constexpr int kOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

}  // namespace

FolderChain::FolderChain(size_t maxOpen)
    : maxOpen_(maxOpen < 2 ? 2 : maxOpen), buffer_(new char[kBufferSize]) {}

int FolderChain::openChecked(int parentFd, const char* name, bool followLink, UniqueFd* out,
                             struct stat* st) {
  int fd = ::openat(parentFd, name, kOpenFlags | (followLink ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    // O_NOFOLLOW on a link gives ELOOP; the caller asked for a folder.
    return errno == ELOOP && !followLink ? ENOTDIR : errno;
  }
  out->reset(fd);
  if (::fstat(fd, st) != 0) {
    int err = errno;
    out->reset();
    return err;
  }
  return 0;
}

void FolderChain::makeRoomFor(size_t keepA, size_t keepB) {
  while (openCount_ >= maxOpen_) {
    size_t victim = lowestOpen_;
    while (victim < frames_.size() &&
           (!frames_[victim].fd.valid() || victim == keepA || victim == keepB)) {
      ++victim;
    }
    if (victim >= frames_.size()) return;  // everything open is needed right now
    frames_[victim].fd.reset();
    --openCount_;
    if (victim == lowestOpen_) ++lowestOpen_;
  }
}

void FolderChain::adopt(size_t index, UniqueFd fd) {
  frames_[index].fd = std::move(fd);
  ++openCount_;
  if (index < lowestOpen_) lowestOpen_ = index;
}

int FolderChain::openRoot(const std::string& path, bool followLink) {
  frames_.clear();
  openCount_ = 0;
  lowestOpen_ = 0;
  if (openFault) {
    if (int err = openFault(path); err != 0) return err;
  }
  Frame frame;
  struct stat st {};
  // A root deeper than the system takes whole is opened from its folder.
  UniqueFd parent;
  std::string name = path;
  const size_t slash = path.size() >= PATH_MAX / 2 ? path.rfind('/', path.size() - 2) : 0;
  if (slash != 0 && slash != std::string::npos) {
    parent = openLongPath(path.substr(0, slash), kOpenFlags);
    if (!parent) return errno;
    name = path.substr(slash + 1);
  }
  int err = openChecked(parent ? parent.get() : AT_FDCWD, name.c_str(), followLink, &frame.fd, &st);
  if (err != 0) return err;
  frame.take(st);
  path_ = path;
  while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
  frame.name = path;
  frame.pathLength = path_.size();
  frames_.push_back(std::move(frame));
  openCount_ = 1;
  return 0;
}

std::string FolderChain::childPath(std::string_view name) const {
  std::string result;
  result.reserve(path_.size() + 1 + name.size());
  result = path_;
  if (result.empty() || result.back() != '/') result += '/';
  result.append(name);
  return result;
}

int FolderChain::push(const std::string& name, bool retireParent) {
  const size_t parent = frames_.size() - 1;
  int err = 0;
  int parentFd = fdOf(parent, &err);
  if (parentFd < 0) return err;
  if (openFault) {
    if (int fault = openFault(childPath(name)); fault != 0) return fault;
  }
  makeRoomFor(parent, parent);
  Frame frame;
  struct stat st {};
  err = openChecked(parentFd, name.c_str(), false, &frame.fd, &st);
  if (err != 0) return err;
  frame.take(st);
  if (path_.empty() || path_.back() != '/') path_ += '/';
  path_ += name;
  frame.name = name;
  frame.pathLength = path_.size();
  frames_.push_back(std::move(frame));
  ++openCount_;
  if (retireParent) {
    Frame& p = frames_[parent];
    if (p.fd.valid()) {
      p.fd.reset();
      --openCount_;
    }
    p.retired = true;
    p.entries = {};
  }
  return 0;
}

void FolderChain::pop() {
  if (frames_.empty()) return;
  const size_t deepest = frames_.size() - 1;
  if (frames_[deepest].fd.valid()) {
    size_t k = deepest;
    while (k > 0 && frames_[k - 1].retired) --k;
    if (k > 0 && !frames_[k - 1].fd.valid()) reopenUpwards(deepest, k - 1);
  }
  if (frames_[deepest].fd.valid()) --openCount_;
  frames_.pop_back();
  if (lowestOpen_ > frames_.size()) lowestOpen_ = frames_.size();
  path_.resize(frames_.empty() ? 0 : frames_.back().pathLength);
}

int FolderChain::reopenUpwards(size_t from, size_t index) {
  size_t steps = from - index;
  int current = frames_[from].fd.get();
  UniqueFd held;
  while (steps > 0) {
    size_t chunk = steps < kDotDotChunk ? steps : kDotDotChunk;
    std::string up;
    up.reserve(chunk * 3);
    for (size_t i = 0; i < chunk; ++i) up += "../";
    up.pop_back();
    int fd = ::openat(current, up.c_str(), kOpenFlags);
    if (fd < 0) return errno;
    held.reset(fd);
    current = fd;
    steps -= chunk;
  }
  struct stat st {};
  if (::fstat(held.get(), &st) != 0) return errno;
  const Frame& target = frames_[index];
  if (st.st_dev != target.dev || st.st_ino != target.ino) return ENOENT;  // moved meanwhile
  makeRoomFor(from, index);
  adopt(index, std::move(held));
  return 0;
}

int FolderChain::reopenDownwards(size_t index) {
  // Start at the nearest ancestor that is open, or at the root's path.
  size_t start = index;
  while (start > 0 && !frames_[start].fd.valid()) --start;
  UniqueFd current;
  int currentFd = -1;
  size_t level = start;
  if (frames_[start].fd.valid()) {
    currentFd = frames_[start].fd.get();
  } else {
    struct stat st {};
    int err = openChecked(AT_FDCWD, frames_[0].name.c_str(), true, &current, &st);
    if (err != 0) return err;
    if (st.st_dev != frames_[0].dev || st.st_ino != frames_[0].ino) return ENOENT;
    currentFd = current.get();
    level = 0;
  }
  while (level < index) {
    ++level;
    UniqueFd child;
    struct stat st {};
    int err = openChecked(currentFd, frames_[level].name.c_str(), false, &child, &st);
    if (err != 0) return err;
    if (st.st_dev != frames_[level].dev || st.st_ino != frames_[level].ino) return ENOENT;
    current = std::move(child);
    currentFd = current.get();
  }
  makeRoomFor(index, start);
  adopt(index, std::move(current));
  return 0;
}

int FolderChain::fdOf(size_t index, int* err) {
  if (frames_[index].fd.valid()) return frames_[index].fd.get();
  int result = ENOENT;
  for (size_t j = index + 1; j < frames_.size(); ++j) {
    if (frames_[j].fd.valid()) {
      result = reopenUpwards(j, index);
      break;
    }
  }
  if (!frames_[index].fd.valid()) result = reopenDownwards(index);
  if (!frames_[index].fd.valid()) {
    *err = result == 0 ? ENOENT : result;
    return -1;
  }
  return frames_[index].fd.get();
}

int FolderChain::readEntries(int fd, const std::function<void(const char*, unsigned char)>& fn) {
  char* buffer = buffer_.get();
  for (;;) {
    ssize_t n = ::getdents64(fd, buffer, kBufferSize);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    for (ssize_t offset = 0; offset < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      fn(name, entry->d_type);
    }
  }
}

void FolderChain::walkPostOrder(const PostOrderVisitor& visitor) {
  auto load = [this, &visitor] {
    if (int err = loadTop(); err != 0) visitor.error(err, std::string(path()));
  };
  load();
  while (!empty()) {
    const size_t index = depth() - 1;
    Frame& frame = top();
    if (frame.next < frame.entries.size()) {
      const FolderEntry entry = frame.entries[frame.next++];
      int err = 0;
      const int fd = fdOf(index, &err);
      if (fd < 0) {
        visitor.error(err, std::string(path()));
        top().next = top().entries.size();
        continue;
      }
      if (!visitor.entry(fd, entry)) continue;
      if (int pushErr = push(entry.name, false); pushErr != 0) {
        visitor.descendFailed(fd, entry, pushErr);
        continue;
      }
      load();
      continue;
    }
    const std::string name = frame.name;
    const std::string folderPath(path());
    pop();
    if (empty()) return;
    int err = 0;
    const int parentFd = fdOf(depth() - 1, &err);
    if (parentFd < 0) {
      visitor.error(err, folderPath);
      continue;
    }
    visitor.folderDone(parentFd, name, folderPath);
  }
}

int FolderChain::loadTop() {
  std::vector<FolderEntry> entries;
  const int err = readEntries(top().fd.get(), [&entries](const char* name, unsigned char type) {
    entries.push_back(FolderEntry{name, type});
  });
  top().entries = std::move(entries);
  return err;
}

FileStatus walkBelow(int rootFd, const std::string& display, dev_t device,
                     const BelowVisit& visit) {
  const std::string rootPath = "/proc/self/fd/" + std::to_string(rootFd);
  FolderChain chain;
  if (int err = chain.openRoot(rootPath, true); err != 0) {
    return FileStatus::fromErrno(err, display);
  }
  auto shown = [&](std::string_view path) {
    return display + std::string(path.substr(rootPath.size()));
  };
  FileStatus first;
  auto note = [&first](FileStatus status) {
    if (first.ok() && !status.ok()) first = std::move(status);
  };
  FolderChain::PostOrderVisitor visitor;
  visitor.entry = [&](int fd, const FolderEntry& entry) {
    struct stat st {};
    if (::fstatat(fd, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) note(FileStatus::fromErrno(errno, shown(chain.childPath(entry.name))));
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      if (device == 0 || st.st_dev == device) return true;
      note(FileStatus::withMessage(
          EXDEV, shown(chain.childPath(entry.name)) + ": another file system is mounted here"));
      return false;
    }
    note(visit(fd, entry.name, st, shown(chain.childPath(entry.name)), false));
    return false;
  };
  visitor.descendFailed = [&](int, const FolderEntry& entry, int err) {
    if (err != ENOENT) note(FileStatus::fromErrno(err, shown(chain.childPath(entry.name))));
  };
  visitor.folderDone = [&](int parentFd, const std::string& name, const std::string& path) {
    struct stat st {};
    st.st_mode = S_IFDIR;
    note(visit(parentFd, name, st, shown(path), true));
  };
  visitor.error = [&](int err, const std::string& path) {
    note(FileStatus::fromErrno(err, shown(path)));
  };
  chain.walkPostOrder(visitor);
  return first;
}

namespace {

int openRetrying(int folderFd, const char* path, int flags) {
  int fd = -1;
  do {
    fd = ::openat(folderFd, path, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

UniqueFd openLongPath(const std::string& path, int flags) {
  // Pieces well below PATH_MAX, cut at a slash (a name is at most NAME_MAX).
  constexpr size_t kPiece = PATH_MAX / 2;
  UniqueFd folder;
  int at = AT_FDCWD;
  size_t start = 0;
  while (path.size() - start >= kPiece) {
    const size_t cut = path.rfind('/', start + kPiece - 1);
    if (cut == std::string::npos || cut < start) {
      errno = ENAMETOOLONG;
      return UniqueFd();
    }
    // (An empty piece is the root, or a doubled slash.)
    const std::string piece =
        cut > start ? path.substr(start, cut - start) : std::string(start == 0 ? "/" : ".");
    UniqueFd next(openRetrying(at, piece.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!next) return next;
    folder = std::move(next);
    at = folder.get();
    start = cut + 1;
  }
  const char* rest = start < path.size() ? path.c_str() + start : ".";
  return UniqueFd(openRetrying(at, rest, flags));
}

}  // namespace orvexa::detail
