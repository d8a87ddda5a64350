#include "orvexa/platform/file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "platform/folder_chain.h"
#include "platform/resource_values_at.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using detail::FolderChain;
using detail::FolderEntry;

std::string trimmedPath(const std::string& path) {
  std::string result = path;
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

std::string parentOf(const std::string& trimmed) {
  size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return trimmed.substr(0, slash);
}

FileType fileTypeOf(mode_t mode) {
  if (S_ISREG(mode)) return FileType::regular;
  if (S_ISDIR(mode)) return FileType::directory;
  if (S_ISLNK(mode)) return FileType::symbolicLink;
  if (S_ISSOCK(mode)) return FileType::socket;
  if (S_ISCHR(mode)) return FileType::characterSpecial;
  if (S_ISBLK(mode)) return FileType::blockSpecial;
  if (S_ISFIFO(mode)) return FileType::fifo;
  return FileType::unknown;
}

std::string groupNameOf(gid_t gid) {
  std::vector<char> buffer(1024);
  for (;;) {
    struct group entry {};
    struct group* found = nullptr;
    int rc = ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    return rc == 0 && found != nullptr && found->gr_name != nullptr ? found->gr_name : "";
  }
}

FileStatus statusOf(const std::error_code& ec, const std::string& path) {
  return FileStatus::fromErrno(ec.value() != 0 ? ec.value() : EIO, path);
}

// Removes a folder and everything below it, relative to folder descriptors.
FileStatus removeTree(const std::string& root) {
  FolderChain chain;
  if (int err = chain.openRoot(root, false); err != 0) return FileStatus::fromErrno(err, root);
  FileStatus first;
  auto note = [&first](int err, std::string_view path) {
    if (first.ok()) first = FileStatus::fromErrno(err, path);
  };
  FolderChain::PostOrderVisitor visitor;
  // Files go at once; folders are walked into and removed once empty.
  visitor.entry = [&chain, &note](int fd, const FolderEntry& entry) {
    bool isFolder = entry.type == DT_DIR;
    if (entry.type == DT_UNKNOWN) {
      struct stat st {};
      isFolder =
          ::fstatat(fd, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (isFolder) return true;
    if (::unlinkat(fd, entry.name.c_str(), 0) == 0 || errno == ENOENT) return false;
    if (errno == EISDIR) return true;
    note(errno, chain.childPath(entry.name));
    return false;
  };
  visitor.descendFailed = [&chain, &note](int fd, const FolderEntry& entry, int err) {
    // Not a folder after all (replaced meanwhile), or unreadable.
    if (err == ENOTDIR && ::unlinkat(fd, entry.name.c_str(), 0) == 0) return;
    if (err != ENOENT) note(err, chain.childPath(entry.name));
  };
  visitor.folderDone = [&note](int parentFd, const std::string& name, const std::string& path) {
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      note(errno, path);
    }
  };
  visitor.error = [&note](int err, const std::string& path) { note(err, path); };
  chain.walkPostOrder(visitor);
  // Everything inside is gone (or failed): remove the folder itself.
  if (::rmdir(root.c_str()) != 0 && errno != ENOENT) note(errno, root);
  return first;
}

}  // namespace

bool fileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool fileExists(const std::string& path, bool* isDirectory) {
  struct stat st {};
  const bool exists = !path.empty() && ::stat(path.c_str(), &st) == 0;
  if (isDirectory != nullptr) *isDirectory = exists && S_ISDIR(st.st_mode);
  return exists;
}

bool isDirectory(const std::string& path) {
  bool folder = false;
  return fileExists(path, &folder) && folder;
}

bool isDeletableFileAtPath(const std::string& path) {
  if (path.empty()) return false;
  const std::string item = trimmedPath(path);
  if (item == "/") return false;
  struct stat itemStat {};
  if (::lstat(item.c_str(), &itemStat) != 0) return false;
  const std::string parent = parentOf(item);
  // The effective user's rights, as unlink() will check them.
  if (::faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return false;
  struct stat parentStat {};
  if (::stat(parent.c_str(), &parentStat) != 0) return false;
  if ((parentStat.st_mode & S_ISVTX) == 0) return true;
  const uid_t user = ::geteuid();
  return user == 0 || itemStat.st_uid == user || parentStat.st_uid == user;
}

std::string ownerAccountName(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::lstat(trimmedPath(path).c_str(), &st) != 0) return {};
  return accountNameOf(st.st_uid);
}

std::optional<FileAttributes> attributesOfItem(const std::string& path, FileStatus* status) {
  struct statx stx {};
  const std::string item = trimmedPath(path);
  if (path.empty() || ::statx(AT_FDCWD, item.c_str(), AT_SYMLINK_NOFOLLOW,
                              STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) {
    if (status != nullptr) *status = FileStatus::fromErrno(path.empty() ? ENOENT : errno, path);
    return std::nullopt;
  }
  FileAttributes attributes;
  const auto mode = static_cast<mode_t>(stx.stx_mode);
  attributes.type = fileTypeOf(mode);
  attributes.size = static_cast<int64_t>(stx.stx_size);
  attributes.posixPermissions = mode & 07777;
  attributes.ownerAccountID = stx.stx_uid;
  attributes.groupOwnerAccountID = stx.stx_gid;
  attributes.ownerAccountName = accountNameOf(stx.stx_uid);
  attributes.groupOwnerAccountName = groupNameOf(stx.stx_gid);
  attributes.modificationDate = detail::toTimePoint(stx.stx_mtime);
  attributes.creationDate = detail::creationDateOf(stx);
  attributes.systemNumber = (static_cast<uint64_t>(stx.stx_dev_major) << 32) | stx.stx_dev_minor;
  attributes.systemFileNumber = stx.stx_ino;
  attributes.referenceCount = stx.stx_nlink;
  if (status != nullptr) *status = FileStatus();
  return attributes;
}

FileStatus createDirectory(const std::string& path, bool withIntermediates) {
  if (path.empty()) return FileStatus::fromErrno(ENOENT, path);
  const std::string target = trimmedPath(path);
  if (!withIntermediates) {
    if (::mkdir(target.c_str(), 0777) != 0) return FileStatus::fromErrno(errno, path);
    return FileStatus();
  }
  // Each missing component in turn; one that exists must be a folder.
  size_t position = target.front() == '/' ? 1 : 0;
  for (;;) {
    size_t slash = target.find('/', position);
    const std::string partial = target.substr(0, slash);
    if (!partial.empty() && partial != "/") {
      if (::mkdir(partial.c_str(), 0777) != 0) {
        int err = errno;
        struct stat st {};
        if (err != EEXIST || ::stat(partial.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
          return FileStatus::fromErrno(err == EEXIST ? ENOTDIR : err, partial);
        }
      }
    }
    if (slash == std::string::npos) break;
    position = slash + 1;
  }
  return FileStatus();
}

FileStatus removeItem(const std::string& path) {
  if (path.empty()) return FileStatus::fromErrno(ENOENT, path);
  const std::string item = trimmedPath(path);
  if (item == "/") return FileStatus::fromErrno(EPERM, path);
  struct stat st {};
  if (::lstat(item.c_str(), &st) != 0) return FileStatus::fromErrno(errno, path);
  if (!S_ISDIR(st.st_mode)) {
    if (::unlink(item.c_str()) != 0) return FileStatus::fromErrno(errno, path);
    return FileStatus();
  }
  return removeTree(item);
}

FileStatus copyItem(const std::string& from, const std::string& to) {
  struct stat st {};
  const std::string source = trimmedPath(from);
  const std::string target = trimmedPath(to);
  if (from.empty() || ::lstat(source.c_str(), &st) != 0) {
    return FileStatus::fromErrno(from.empty() ? ENOENT : errno, from);
  }
  if (to.empty()) return FileStatus::fromErrno(ENOENT, to);
  if (::lstat(target.c_str(), &st) == 0) return FileStatus::fromErrno(EEXIST, to);
  std::error_code ec;
  fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) {
    FileStatus failure = statusOf(ec, from);
    // The destination did not exist before: take back what was made of it.
    if (::lstat(target.c_str(), &st) == 0) (void)removeItem(target);
    return failure;
  }
  return FileStatus();
}

FileStatus moveItem(const std::string& from, const std::string& to) {
  if (from.empty()) return FileStatus::fromErrno(ENOENT, from);
  if (to.empty()) return FileStatus::fromErrno(ENOENT, to);
  const std::string source = trimmedPath(from);
  const std::string target = trimmedPath(to);
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return FileStatus();
  }
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    // The file system cannot refuse to replace by itself.
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0) return FileStatus::fromErrno(EEXIST, to);
    if (::rename(source.c_str(), target.c_str()) == 0) return FileStatus();
    err = errno;
  }
  if (err == EXDEV) {
    FileStatus copied = copyItem(source, target);
    if (!copied.ok()) return copied;
    return removeItem(source);
  }
  return FileStatus::fromErrno(err, err == EEXIST ? to : from);
}

std::vector<std::string> contentsOfDirectory(const std::string& path, FileStatus* status) {
  detail::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (path.empty() || !fd.valid()) {
    if (status != nullptr) *status = FileStatus::fromErrno(path.empty() ? ENOENT : errno, path);
    return {};
  }
  FolderChain reader(2);
  std::vector<std::string> names;
  int err = reader.readEntries(
      fd.get(), [&names](const char* name, unsigned char) { names.emplace_back(name); });
  if (err != 0) {
    if (status != nullptr) *status = FileStatus::fromErrno(err, path);
    return {};
  }
  std::sort(names.begin(), names.end());
  if (status != nullptr) *status = FileStatus();
  return names;
}

std::vector<Url> mountedVolumeURLs() {
  const std::vector<std::string> folders = Paths::shared().mountFolders();
  std::vector<Url> volumes;
  for (const std::string& folder : folders) {
    for (const std::string& name : contentsOfDirectory(folder)) {
      const std::string path = trimmedPath(folder) + "/" + name;
      // A mount folder inside another (/media/NAME in /media) holds volumes
      // and is none itself.
      if (std::find(folders.begin(), folders.end(), path) != folders.end()) continue;
      volumes.push_back(Url::fromPath(path));
    }
  }
  return volumes;
}

}  // namespace orvexa
