#include "orvexa/platform/verified_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/folder_chain.h"
#include "platform/unique_dir.h"
#include "platform/unique_fd.h"

namespace orvexa {
namespace {

using detail::UniqueDir;
using detail::UniqueFd;
using detail::walkBelow;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Folders deeper than this are not compared (they count as different).
constexpr int kMaxCompareDepth = 256;

FileStatus changed() { return FileStatus::withMessage(ESTALE, kChangedText); }
FileStatus outside() { return FileStatus::withMessage(EPERM, kOutsideText); }

// The components of an absolute path; false for a relative path or one
// holding "." or "..".
bool componentsOf(std::string_view path, std::vector<std::string>* parts) {
  if (path.empty() || path.front() != '/') return false;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view part = path.substr(start, slash - start);
    if (part == "." || part == "..") return false;
    if (!part.empty()) parts->emplace_back(part);
    start = slash + 1;
  }
  return true;
}

std::string joined(const std::vector<std::string>& parts, size_t count) {
  std::string path;
  for (size_t i = 0; i < count; ++i) path += "/" + parts[i];
  return path.empty() ? "/" : path;
}

// The item's parent folder, open, and what the item is now.
struct Reached {
  UniqueFd parent;
  std::string name;
  struct stat st {};
};

// A missing component or one that is no longer a folder (a link swapped
// in) means the item is not the one listed.
FileStatus stepFailed(int err, const std::string& walked) {
  if (err == ENOENT || err == ELOOP || err == ENOTDIR) return changed();
  return FileStatus::fromErrno(err, walked);
}

// Opens the folder `parts[0..count)`: following links when asked, else
// from "/" one component at a time without following any.
FileStatus openBase(const std::vector<std::string>& parts, size_t count,
                    const RemovalOptions& options, UniqueFd* out) {
  const std::string base = joined(parts, count);
  if (options.followRootLink) {
    if (options.hook) options.hook(base, 0);
    out->reset(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return out->valid() ? FileStatus() : stepFailed(errno, base);
  }
  if (options.hook) options.hook("/", 0);
  out->reset(::open("/", kFolderFlags));
  if (!out->valid()) return FileStatus::fromErrno(errno, "/");
  for (size_t i = 0; i < count; ++i) {
    int fd = ::openat(out->get(), parts[i].c_str(), kFolderFlags);
    if (fd < 0) {
      const int err = errno;
      if (err == ELOOP || err == ENOTDIR) {
        return FileStatus::withMessage(
            err,
            joined(parts, i + 1) + ": is a symbolic link or not a folder; links are not followed");
      }
      return stepFailed(err, joined(parts, i + 1));
    }
    out->reset(fd);
  }
  return FileStatus();
}

FileStatus reach(const ListedItem& item, const RemovalOptions& options, Reached* out) {
  std::vector<std::string> root, path;
  if (!componentsOf(item.root, &root) || !componentsOf(item.path, &path) || path.empty() ||
      path.size() < root.size() || !std::equal(root.begin(), root.end(), path.begin())) {
    return outside();
  }
  // A root that is the item itself is reached through its parent.
  const size_t base = std::min(root.size(), path.size() - 1);
  UniqueFd current;
  if (FileStatus opened = openBase(path, base, options, &current); !opened.ok()) return opened;
  for (size_t i = base; i + 1 < path.size(); ++i) {
    if (options.hook) options.hook(joined(path, i + 1), i + 1 - base);
    int fd = ::openat(current.get(), path[i].c_str(), kFolderFlags);
    if (fd < 0) return stepFailed(errno, joined(path, i + 1));
    current.reset(fd);
  }
  if (options.hook) options.hook(item.path, path.size() - base);
  out->parent = std::move(current);
  out->name = path.back();
  if (::fstatat(out->parent.get(), out->name.c_str(), &out->st, AT_SYMLINK_NOFOLLOW) != 0) {
    return stepFailed(errno, item.path);
  }
  if (!item.identity.matches(out->st)) return changed();
  return FileStatus();
}

// Opens the item reached, checking it is still the one examined.
FileStatus openReached(const Reached& reached, int flags, UniqueFd* out) {
  out->reset(::openat(reached.parent.get(), reached.name.c_str(),
                      flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!out->valid()) return stepFailed(errno, reached.name);
  struct stat st {};
  if (::fstat(out->get(), &st) != 0) return FileStatus::fromErrno(errno, reached.name);
  if (st.st_dev != reached.st.st_dev || st.st_ino != reached.st.st_ino) return changed();
  return FileStatus();
}

// Removes everything below the open folder `folderFd` without following a
// link or leaving its device; the first failure is returned.
FileStatus emptyFolder(int folderFd, dev_t device, const std::string& display) {
  return walkBelow(folderFd, display, device,
                   [](int parentFd, const std::string& name, const struct stat&,
                      const std::string& shown, bool folderDone) {
                     if (::unlinkat(parentFd, name.c_str(), folderDone ? AT_REMOVEDIR : 0) != 0 &&
                         errno != ENOENT) {
                       return FileStatus::fromErrno(errno, shown);
                     }
                     return FileStatus();
                   });
}

FileStatus differ(const std::string& why) { return FileStatus::withMessage(EINVAL, why); }

FileStatus sameFileContent(int a, int b) {
  constexpr size_t kChunk = 64 * 1024;
  std::unique_ptr<char[]> bufA(new char[kChunk]), bufB(new char[kChunk]);
  for (;;) {
    ssize_t na = ::read(a, bufA.get(), kChunk);
    if (na < 0 && errno == EINTR) continue;
    if (na < 0) return FileStatus::fromErrno(errno, "reading a copy");
    size_t nb = 0;
    while (nb < static_cast<size_t>(na)) {
      ssize_t n = ::read(b, bufB.get() + nb, static_cast<size_t>(na) - nb);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return FileStatus::fromErrno(errno, "reading a copy");
      if (n == 0) break;
      nb += static_cast<size_t>(n);
    }
    if (nb != static_cast<size_t>(na) || std::memcmp(bufA.get(), bufB.get(), nb) != 0) {
      return differ("no longer identical to the copy kept");
    }
    if (na == 0) return FileStatus();
  }
}

std::vector<std::string> namesIn(int fd) {
  std::vector<std::string> names;
  // A fresh open of the folder, not a duplicate: its own read position.
  UniqueDir dir = UniqueDir::adopt(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return names;
  while (const struct dirent* e = ::readdir(dir.get())) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      names.emplace_back(e->d_name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

FileStatus sameEntry(int parentA, int parentB, const std::string& name, int depth);

FileStatus sameFolderContent(int a, int b, int depth) {
  if (depth > kMaxCompareDepth) return differ("too deep to compare with the copy kept");
  const std::vector<std::string> names = namesIn(a);
  if (names != namesIn(b)) return differ("no longer identical to the copy kept");
  for (const std::string& name : names) {
    if (FileStatus same = sameEntry(a, b, name, depth + 1); !same.ok()) return same;
  }
  return FileStatus();
}

// The entries `name` of two folders: same type and same content.
FileStatus sameEntry(int parentA, int parentB, const std::string& name, int depth) {
  struct stat sa {
  }, sb{};
  if (::fstatat(parentA, name.c_str(), &sa, AT_SYMLINK_NOFOLLOW) != 0 ||
      ::fstatat(parentB, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
    return changed();
  }
  if ((sa.st_mode & S_IFMT) != (sb.st_mode & S_IFMT)) {
    return differ("no longer identical to the copy kept");
  }
  if (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino) return FileStatus();  // one item
  if (S_ISLNK(sa.st_mode)) {
    char ta[PATH_MAX], tb[PATH_MAX];
    ssize_t na = ::readlinkat(parentA, name.c_str(), ta, sizeof ta);
    ssize_t nb = ::readlinkat(parentB, name.c_str(), tb, sizeof tb);
    if (na < 0 || nb < 0) return changed();
    return na == nb && std::memcmp(ta, tb, static_cast<size_t>(na)) == 0
               ? FileStatus()
               : differ("no longer identical to the copy kept");
  }
  if (!S_ISREG(sa.st_mode) && !S_ISDIR(sa.st_mode)) {
    return differ("holds an item that cannot be compared");
  }
  if (S_ISREG(sa.st_mode) && sa.st_size != sb.st_size) {
    return differ("no longer identical to the copy kept");
  }
  const int flags =
      (S_ISDIR(sa.st_mode) ? O_DIRECTORY : 0) | O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  UniqueFd fa(::openat(parentA, name.c_str(), flags)), fb(::openat(parentB, name.c_str(), flags));
  if (!fa.valid() || !fb.valid()) return changed();
  return S_ISDIR(sa.st_mode) ? sameFolderContent(fa.get(), fb.get(), depth)
                             : sameFileContent(fa.get(), fb.get());
}

}  // namespace

std::string rootFor(const std::string& path, const std::vector<std::string>& roots) {
  std::vector<std::string> parts;
  if (!componentsOf(path, &parts)) return {};
  std::string best;
  size_t bestDepth = 0;
  for (const std::string& root : roots) {
    std::vector<std::string> rootParts;
    if (!componentsOf(root, &rootParts) || rootParts.size() > parts.size()) continue;
    if (!std::equal(rootParts.begin(), rootParts.end(), parts.begin())) continue;
    if (best.empty() || rootParts.size() > bestDepth) {
      best = root;
      bestDepth = rootParts.size();
    }
  }
  return best;
}

FileStatus checkListedItem(const ListedItem& item, const RemovalOptions& options) {
  Reached reached;
  return reach(item, options, &reached);
}

namespace {

FileStatus removeReached(const ListedItem& item, const Reached& reached) {
  if (!S_ISDIR(reached.st.st_mode)) {
    if (::unlinkat(reached.parent.get(), reached.name.c_str(), 0) == 0) return FileStatus();
    return errno == ENOENT ? changed() : FileStatus::fromErrno(errno, item.path);
  }
  UniqueFd folder;
  if (FileStatus opened = openReached(reached, O_RDONLY | O_DIRECTORY, &folder); !opened.ok()) {
    return opened;
  }
  FileStatus inside = emptyFolder(folder.get(), reached.st.st_dev, item.path);
  folder.reset();
  if (!inside.ok()) return inside;
  if (::unlinkat(reached.parent.get(), reached.name.c_str(), AT_REMOVEDIR) == 0) {
    return FileStatus();
  }
  return errno == ENOENT ? changed() : FileStatus::fromErrno(errno, item.path);
}

// After an item directly inside a trash's "files" root went: its
// "../info/<name>.trashinfo", reached from the same open folder without
// following links, if it is a regular file. Best effort: a trash keeps
// working with a stray information file, and the item is gone either way.
void removeTrashInfo(const ListedItem& item, const Reached& reached) {
  std::vector<std::string> root, path;
  if (!componentsOf(item.root, &root) || !componentsOf(item.path, &path) || root.empty() ||
      root.back() != "files" || path.size() != root.size() + 1) {
    return;
  }
  UniqueFd trash(::openat(reached.parent.get(), "..", kFolderFlags));
  if (trash.get() < 0) return;
  UniqueFd info(::openat(trash.get(), "info", kFolderFlags));
  if (info.get() < 0) return;
  const std::string name = reached.name + ".trashinfo";
  struct stat st;
  if (::fstatat(info.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
    ::unlinkat(info.get(), name.c_str(), 0);
  }
}

}  // namespace

FileStatus removeListedItem(const ListedItem& item, const RemovalOptions& options) {
  Reached reached;
  if (FileStatus found = reach(item, options, &reached); !found.ok()) return found;
  FileStatus removed = removeReached(item, reached);
  if (removed.ok()) removeTrashInfo(item, reached);
  return removed;
}

FileStatus moveListedItem(const ListedItem& item, int destinationFd,
                          const std::string& destinationName, const RemovalOptions& options) {
  Reached reached;
  if (FileStatus found = reach(item, options, &reached); !found.ok()) return found;
  if (::renameat2(reached.parent.get(), reached.name.c_str(), destinationFd,
                  destinationName.c_str(), RENAME_NOREPLACE) == 0) {
    return FileStatus();
  }
  if (errno == EXDEV) return FileStatus::withMessage(EXDEV, kOtherVolumeText);
  return errno == ENOENT ? changed() : FileStatus::fromErrno(errno, item.path);
}

FileStatus compareListedItems(const ListedItem& a, const ListedItem& b,
                              const RemovalOptions& options) {
  Reached ra, rb;
  if (FileStatus found = reach(a, options, &ra); !found.ok()) return found;
  if (FileStatus found = reach(b, options, &rb); !found.ok()) return found;
  // The two parents stand in for the folders holding each item; the
  // entries are compared by their own names.
  if ((ra.st.st_mode & S_IFMT) != (rb.st.st_mode & S_IFMT)) {
    return differ("no longer identical to the copy kept");
  }
  if (ra.st.st_dev == rb.st.st_dev && ra.st.st_ino == rb.st.st_ino) return FileStatus();
  if (S_ISLNK(ra.st.st_mode) || (!S_ISREG(ra.st.st_mode) && !S_ISDIR(ra.st.st_mode))) {
    return differ("cannot be compared with the copy kept");
  }
  if (S_ISREG(ra.st.st_mode) && ra.st.st_size != rb.st.st_size) {
    return differ("no longer identical to the copy kept");
  }
  const int flags = O_RDONLY | (S_ISDIR(ra.st.st_mode) ? O_DIRECTORY : 0);
  UniqueFd fa, fb;
  if (FileStatus opened = openReached(ra, flags, &fa); !opened.ok()) return opened;
  if (FileStatus opened = openReached(rb, flags, &fb); !opened.ok()) return opened;
  return S_ISDIR(ra.st.st_mode) ? sameFolderContent(fa.get(), fb.get(), 0)
                                : sameFileContent(fa.get(), fb.get());
}

}  // namespace orvexa
