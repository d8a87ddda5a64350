#include "orvexa/helper/privileged_file_operations.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <optional>
#include <vector>

#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/file_writer.h"
#include "orvexa/platform/paths.h"

#include "orvexa/platform/shred_passes.h"
#include "platform/folder_chain.h"
#include "platform/unique_fd.h"

namespace orvexa {
namespace {

using detail::UniqueFd;
using detail::walkBelow;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::vector<std::string> componentsOf(const std::string& normalized) {
  std::vector<std::string> parts;
  size_t start = 1;
  while (start < normalized.size()) {
    size_t slash = normalized.find('/', start);
    if (slash == std::string::npos) slash = normalized.size();
    parts.push_back(normalized.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string walkError(int err, const std::string& path) {
  if (err == ELOOP || err == ENOTDIR) {
    return path + ": is a symbolic link or not a folder; the helper does not follow links";
  }
  return FileStatus::fromErrno(err, path).message();
}

// The parent folder of an item, opened by walking down from "/".
struct Parent {
  UniqueFd fd;
  std::string name;  // the item's name in it
};

// Which missing folders on the way are made (mode 0755): none, only the
// item's own folder (when its parent exists), or every one.
enum class Create { kNone, kLast, kAll };

FileStatus openParent(const std::string& path, const HelperWalkHook& hook, Parent* out,
                      Create create = Create::kNone) {
  std::vector<std::string> parts = componentsOf(path);
  if (parts.empty()) return FileStatus::fromErrno(EPERM, path);
  if (hook) hook("/", 0);
  UniqueFd current(::open("/", kFolderFlags));
  if (!current.valid()) return FileStatus::fromErrno(errno, "/");
  std::string walked;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    walked += "/" + parts[i];
    if (hook) hook(walked, i + 1);
    int fd = ::openat(current.get(), parts[i].c_str(), kFolderFlags);
    if (fd < 0 && errno == ENOENT &&
        (create == Create::kAll || (create == Create::kLast && i + 2 == parts.size()))) {
      if (::mkdirat(current.get(), parts[i].c_str(), 0755) == 0 || errno == EEXIST) {
        fd = ::openat(current.get(), parts[i].c_str(), kFolderFlags);
      }
    }
    if (fd < 0) {
      int err = errno;
      return FileStatus::withMessage(err, walkError(err, walked));
    }
    current.reset(fd);
  }
  if (hook) hook(path, parts.size());
  out->fd = std::move(current);
  out->name = parts.back();
  return FileStatus();
}

FileStatus unlinkEntry(int parentFd, const std::string& name, bool folder,
                       const std::string& path) {
  if (::unlinkat(parentFd, name.c_str(), folder ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT) {
    return FileStatus::fromErrno(errno, path);
  }
  return FileStatus();
}

// Opens the folder `name` in `parentFd`, checking it is the item stat'ed
// before (not swapped meanwhile).
FileStatus openFolderChecked(int parentFd, const std::string& name, const struct stat& expected,
                             const std::string& path, UniqueFd* out) {
  int fd = ::openat(parentFd, name.c_str(), kFolderFlags);
  if (fd < 0) {
    int err = errno;
    return FileStatus::withMessage(err, walkError(err, path));
  }
  out->reset(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return FileStatus::fromErrno(errno, path);
  if (st.st_dev != expected.st_dev || st.st_ino != expected.st_ino) {
    return FileStatus::withMessage(EAGAIN, path + ": changed while being removed");
  }
  return FileStatus();
}

// Shreds the regular file `name` in `parentFd` through a descriptor opened
// without following links or truncating, so the passes reach exactly the
// item that was examined, in place.
FileStatus shredEntry(int parentFd, const std::string& name, const std::string& path,
                      bool overwriteHardLinks, bool* shredFailed) {
  UniqueFd item(
      ::openat(parentFd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!item.valid()) {
    if (errno == ELOOP) return FileStatus();  // a link now: removed, never written through
    *shredFailed = true;
    return FileStatus::fromErrno(errno, path);
  }
  struct stat st {};
  if (::fstat(item.get(), &st) != 0) return FileStatus::fromErrno(errno, path);
  if (!S_ISREG(st.st_mode)) return FileStatus();  // nothing to overwrite
  ShredFileService shredder(Url::fromPath(path, false));
  shredder.setOverwriteHardLinks(overwriteHardLinks);
  ShredReport report = shredder.shredDescriptor(item.get());
  if (report.count("TRUE") != 0) return FileStatus();
  *shredFailed = true;
  return FileStatus::withMessage(EIO, path + ": " + report["FALSE"]);
}

// Unlinks everything below `folder`, closes it and unlinks the folder
// itself from `parent`. The first failure inside wins over the folder's own.
FileStatus removeFolderAndContents(UniqueFd folder, const Parent& parent, const std::string& path) {
  FileStatus inside = walkBelow(folder.get(), path, 0,
                                [](int fd, const std::string& name, const struct stat& entry,
                                   const std::string& shown, bool isFolder) {
                                  (void)entry;
                                  return unlinkEntry(fd, name, isFolder, shown);
                                });
  folder.reset();
  FileStatus self = unlinkEntry(parent.fd.get(), parent.name, true, path);
  return inside.ok() ? self : inside;
}

}  // namespace

FileStatus shredItemWithoutFollowing(const std::string& path, bool* shredFailed,
                                     const HelperWalkHook& hook, bool overwriteHardLinks) {
  *shredFailed = false;
  Parent parent;
  if (FileStatus opened = openParent(path, hook, &parent); !opened.ok()) return opened;
  struct stat st {};
  if (::fstatat(parent.fd.get(), parent.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return FileStatus::fromErrno(errno, path);
  }
  if (!S_ISDIR(st.st_mode)) {
    if (S_ISREG(st.st_mode)) {
      if (FileStatus shredded =
              shredEntry(parent.fd.get(), parent.name, path, overwriteHardLinks, shredFailed);
          !shredded.ok()) {
        return shredded;
      }
    }
    return unlinkEntry(parent.fd.get(), parent.name, false, path);
  }
  UniqueFd folder;
  if (FileStatus opened = openFolderChecked(parent.fd.get(), parent.name, st, path, &folder);
      !opened.ok()) {
    return opened;
  }
  // Every file first; only when all were overwritten does anything go.
  FileStatus passes = walkBelow(
      folder.get(), path, 0,
      [shredFailed, overwriteHardLinks](int fd, const std::string& name, const struct stat& entry,
                                        const std::string& shown, bool isFolder) {
        if (isFolder || !S_ISREG(entry.st_mode)) return FileStatus();
        return shredEntry(fd, name, shown, overwriteHardLinks, shredFailed);
      });
  if (!passes.ok()) {
    *shredFailed = true;
    return passes;
  }
  return removeFolderAndContents(std::move(folder), parent, path);
}

FileStatus moveItemWithoutFollowing(const std::string& from, const std::string& to,
                                    const HelperWalkHook& hook) {
  Parent source;
  if (FileStatus opened = openParent(from, hook, &source); !opened.ok()) return opened;
  Parent target;
  if (FileStatus opened = openParent(to, hook, &target, Create::kLast); !opened.ok()) return opened;
  if (::renameat2(source.fd.get(), source.name.c_str(), target.fd.get(), target.name.c_str(),
                  RENAME_NOREPLACE) == 0) {
    return FileStatus();
  }
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    // The file system cannot refuse to replace by itself.
    struct stat st {};
    if (::fstatat(target.fd.get(), target.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      return FileStatus::fromErrno(EEXIST, to);
    }
    if (::renameat(source.fd.get(), source.name.c_str(), target.fd.get(), target.name.c_str()) ==
        0) {
      return FileStatus();
    }
    err = errno;
  }
  if (err == EXDEV) {
    return FileStatus::withMessage(err, from + ": cannot be moved to another file system");
  }
  return FileStatus::fromErrno(err, err == EEXIST ? to : from);
}

std::string privilegedQuarantineFor(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(path).parent_path();
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return {};
  const dev_t device = st.st_dev;
  const std::string name(kPrivilegedQuarantineName);
  const std::string root = Paths::shared().root();
  if (!root.empty() && path.rfind(root + "/", 0) == 0 && ::stat(root.c_str(), &st) == 0 &&
      st.st_dev == device) {
    return root + "/" + name;
  }
  fs::path top = folder;
  while (top != top.root_path() && ::lstat(top.parent_path().c_str(), &st) == 0 &&
         st.st_dev == device) {
    top = top.parent_path();
  }
  return (top == top.root_path() ? std::string() : top.string()) + "/" + name;
}

namespace {

constexpr std::string_view kOriginPrefix = ".origin-";

// Opens (making it 0700 when missing) the folder `name` in `parentFd` and
// checks it is the process's own with no access for others.
FileStatus openPrivateFolder(int parentFd, const std::string& name, const std::string& path,
                             UniqueFd* out) {
  if (::mkdirat(parentFd, name.c_str(), 0700) != 0 && errno != EEXIST) {
    return FileStatus::fromErrno(errno, path);
  }
  out->reset(::openat(parentFd, name.c_str(), kFolderFlags));
  struct stat st {};
  if (!out->valid() || ::fstat(out->get(), &st) != 0) {
    return FileStatus::withMessage(errno, walkError(errno, path));
  }
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    return FileStatus::withMessage(
        EPERM, path + ": the quarantine folder is not the helper's own with mode 0700");
  }
  return FileStatus();
}

// The original path an entry's record holds; nullopt when it has none.
std::optional<std::string> originOf(const std::string& entry) {
  const std::filesystem::path path(entry);
  Parent parent;
  const std::string record =
      (path.parent_path() / (std::string(kOriginPrefix) + path.filename().string())).string();
  if (!openParent(record, {}, &parent).ok()) return std::nullopt;
  RegularFile file = RegularFile::openAt(parent.fd.get(), parent.name, PATH_MAX);
  std::optional<std::string> origin = file.ok() ? file.readAll() : std::nullopt;
  if (origin && origin->empty()) return std::nullopt;
  return origin;
}

}  // namespace

std::optional<uid_t> privilegedQuarantineEntryOwner(const std::string& path) {
  const std::filesystem::path entry(path);
  const std::filesystem::path userFolder = entry.parent_path();
  const std::string name = entry.filename().string();
  const std::string uid = userFolder.filename().string();
  if (name.empty() || name.front() == '.' || uid.empty() || uid.size() > 10 ||
      uid.find_first_not_of("0123456789") != std::string::npos ||
      userFolder.parent_path().filename() != kPrivilegedQuarantineName ||
      privilegedQuarantineFor(path) != userFolder.parent_path().string()) {
    return std::nullopt;
  }
  const unsigned long long owner = std::stoull(uid);
  if (owner > static_cast<uid_t>(-1)) return std::nullopt;
  return static_cast<uid_t>(owner);
}

FileStatus quarantineEntryRefusal(const std::string& path, uid_t asker, const std::string* to) {
  const std::optional<uid_t> owner = privilegedQuarantineEntryOwner(path);
  if (!owner) {
    return FileStatus::withMessage(
        EPERM, "Refused: \"" + path + "\" is in no quarantine folder of the helper's");
  }
  if (asker == 0) return FileStatus();
  if (*owner != asker) {
    return FileStatus::withMessage(
        EPERM, "Refused: \"" + path + "\" was put in the quarantine by user id " +
                   std::to_string(*owner) + "; only that user or root may restore or remove it");
  }
  if (to == nullptr) return FileStatus();
  const std::optional<std::string> origin = originOf(path);
  if (!origin) {
    return FileStatus::withMessage(EPERM, "Refused: the quarantine keeps no record of where \"" +
                                              path + "\" came from; only root may restore it");
  }
  if (*origin != *to) {
    return FileStatus::withMessage(EPERM, "Refused: \"" + path + "\" came from \"" + *origin +
                                              "\" and goes back only there, not to \"" + *to +
                                              "\"");
  }
  return FileStatus();
}

void forgetQuarantineOrigin(const std::string& path) {
  const std::filesystem::path entry(path);
  Parent parent;
  const std::string record =
      (entry.parent_path() / (std::string(kOriginPrefix) + entry.filename().string())).string();
  if (openParent(record, {}, &parent).ok()) ::unlinkat(parent.fd.get(), parent.name.c_str(), 0);
}

FileStatus quarantineListedItem(const ListedItem& item, const std::string& name, uid_t asker,
                                std::string* quarantined, const HelperWalkHook& hook) {
  if (name.empty() || name.front() == '.' || name.find('/') != std::string::npos ||
      name.size() + kOriginPrefix.size() > NAME_MAX) {
    return FileStatus::withMessage(EINVAL, "\"" + name + "\" is no name in the quarantine");
  }
  const std::string folder = privilegedQuarantineFor(item.path);
  if (folder.empty()) return FileStatus::fromErrno(errno, item.path);
  Parent parent;
  if (FileStatus opened = openParent(folder, hook, &parent); !opened.ok()) return opened;
  UniqueFd quarantine;
  if (FileStatus opened = openPrivateFolder(parent.fd.get(), parent.name, folder, &quarantine);
      !opened.ok()) {
    return opened;
  }
  const std::string uid = std::to_string(asker);
  const std::string userFolder = folder + "/" + uid;
  UniqueFd own;
  if (FileStatus opened = openPrivateFolder(quarantine.get(), uid, userFolder, &own);
      !opened.ok()) {
    return opened;
  }
  // The record is written before the move, so that no entry is ever without
  // one; a taken name keeps its own record.
  struct stat st {};
  if (::fstatat(own.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return FileStatus::fromErrno(EEXIST, userFolder + "/" + name);
  }
  const std::string record = std::string(kOriginPrefix) + name;
  {
    UniqueFd file(::openat(own.get(), record.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    const FileStatus written = file.valid()
                                   ? writeAll(file.get(), item.path, userFolder + "/" + record)
                                   : FileStatus::fromErrno(errno, userFolder + "/" + record);
    if (!written.ok()) {
      ::unlinkat(own.get(), record.c_str(), 0);
      return written;
    }
  }
  RemovalOptions removal;
  removal.followRootLink = false;
  removal.hook = hook;
  FileStatus moved = moveListedItem(item, own.get(), name, removal);
  if (moved.ok()) {
    *quarantined = userFolder + "/" + name;
  } else if (moved.code() != EEXIST) {
    ::unlinkat(own.get(), record.c_str(), 0);
  }
  return moved;
}

std::string numberedName(const std::string& name, int n) {
  const std::filesystem::path p(name);
  return p.stem().string() + " (" + std::to_string(n) + ")" + p.extension().string();
}

FileStatus putBackListedItem(const ListedItem& item, int folderFd, const std::string& name,
                             const ItemAttributes& attributes, std::string* placedAs,
                             const RemovalOptions& options) {
  std::string target = name;
  FileStatus moved = moveListedItem(item, folderFd, target, options);
  for (int n = 2; !moved.ok() && moved.code() == EEXIST && n < 10000; ++n) {
    target = numberedName(name, n);
    moved = moveListedItem(item, folderFd, target, options);
  }
  if (!moved.ok()) return moved;
  *placedAs = target;
  FileStatus status;
  if (::fchownat(folderFd, target.c_str(), attributes.owner, attributes.group,
                 AT_SYMLINK_NOFOLLOW) != 0 &&
      ::geteuid() == 0) {
    status = FileStatus::fromErrno(errno, item.path);
  }
  struct stat st {};
  if (::fstatat(folderFd, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode)) {
    ::fchmodat(folderFd, target.c_str(), attributes.mode & 07777, 0);
  }
  auto at = [](int64_t ns) {
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  };
  const struct timespec times[2] = {at(attributes.accessNs), at(attributes.modificationNs)};
  ::utimensat(folderFd, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
  return status;
}

FileStatus restoreQuarantinedItem(const ListedItem& item, const std::string& to, int64_t accessNs,
                                  std::string* restoredAs, const HelperWalkHook& hook) {
  if (componentsOf(to).empty()) return FileStatus::fromErrno(EPERM, to);
  struct stat st {};
  if (::lstat(item.path.c_str(), &st) != 0 || !item.identity.matches(st)) {
    return FileStatus::withMessage(ESTALE, kChangedText);
  }
  const ItemAttributes attributes{st.st_uid, st.st_gid, st.st_mode, accessNs,
                                  item.identity.modificationNs};
  Parent parent;
  if (FileStatus opened = openParent(to, {}, &parent, Create::kAll); !opened.ok()) return opened;
  RemovalOptions removal;
  removal.followRootLink = false;
  removal.hook = hook;
  std::string placed;
  FileStatus status =
      putBackListedItem(item, parent.fd.get(), parent.name, attributes, &placed, removal);
  if (!placed.empty()) *restoredAs = to.substr(0, to.rfind('/')) + "/" + placed;
  return status;
}

}  // namespace orvexa
