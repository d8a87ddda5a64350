#include "orvexa/platform/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace orvexa {
namespace {

const char* kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "of an unknown kind";
}

FileStatus notRegular(const std::string& path, mode_t mode) {
  return FileStatus::withMessage(S_ISDIR(mode) ? EISDIR : EINVAL,
                                 path + ": not a regular file (" + kindOf(mode) + ")");
}

FileStatus tooLarge(const std::string& path, uint64_t size, uint64_t maxBytes) {
  return FileStatus::withMessage(EFBIG, path + ": too large to read (" + std::to_string(size) +
                                            " bytes, at most " + std::to_string(maxBytes) + ")");
}

}  // namespace

RegularFile RegularFile::open(const std::string& path, uint64_t maxBytes, Links links) {
  return openIn(AT_FDCWD, path, maxBytes, links);
}

RegularFile RegularFile::openAt(int folderFd, const std::string& name, uint64_t maxBytes) {
  return openIn(folderFd, name, maxBytes, Links::kRefuse);
}

RegularFile RegularFile::openIn(int folderFd, const std::string& path, uint64_t maxBytes,
                                Links links) {
  RegularFile file;
  file.path_ = path;
  file.maxBytes_ = maxBytes;
  int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  if (links == Links::kRefuse) flags |= O_NOFOLLOW;
  int fd = -1;
  do {
    fd = ::openat(folderFd, path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // Opening a socket fails with ENXIO, a link under O_NOFOLLOW with ELOOP:
    // their system texts mislead, so the kind is named instead.
    const int err = errno;
    struct stat st {};
    const bool named = (err == ENXIO || (err == ELOOP && links == Links::kRefuse)) &&
                       ::fstatat(folderFd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       !S_ISREG(st.st_mode);
    file.status_ = named ? notRegular(path, st.st_mode) : FileStatus::fromErrno(err, path);
    return file;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    file.status_ = FileStatus::fromErrno(errno, path);
  } else if (!S_ISREG(st.st_mode)) {
    file.status_ = notRegular(path, st.st_mode);
  } else if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    file.status_ = tooLarge(path, static_cast<uint64_t>(st.st_size), maxBytes);
  } else {
    // Regular files never block; clearing the flag keeps reads plain.
    const int current = ::fcntl(fd, F_GETFL);
    if (current >= 0) (void)::fcntl(fd, F_SETFL, current & ~O_NONBLOCK);
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // only a hint
    file.fd_ = fd;
    file.size_ = static_cast<uint64_t>(st.st_size);
    return file;
  }
  ::close(fd);
  return file;
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      size_(other.size_),
      maxBytes_(other.maxBytes_),
      path_(std::move(other.path_)),
      status_(std::move(other.status_)) {}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
    maxBytes_ = other.maxBytes_;
    path_ = std::move(other.path_);
    status_ = std::move(other.status_);
  }
  return *this;
}

RegularFile::~RegularFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::string RegularFile::procPath() const { return "/proc/self/fd/" + std::to_string(fd_); }

ssize_t RegularFile::read(void* buffer, size_t capacity) {
  ssize_t got = 0;
  do {
    got = ::read(fd_, buffer, capacity);
  } while (got < 0 && errno == EINTR);
  return got;
}

std::optional<std::string> RegularFile::readAll(FileStatus* status) {
  auto fail = [&](FileStatus why) -> std::optional<std::string> {
    if (status != nullptr) *status = std::move(why);
    return std::nullopt;
  };
  if (!ok()) return fail(status_);
  std::string bytes;
  bytes.resize(static_cast<size_t>(size_));
  size_t done = 0;
  for (;;) {
    if (done == bytes.size()) {
      // Look for growth since the open, within the cap.
      if (bytes.size() >= maxBytes_) {
        char probe = 0;
        const ssize_t more = read(&probe, 1);
        if (more > 0) return fail(tooLarge(path_, bytes.size() + 1, maxBytes_));
        if (more < 0) return fail(FileStatus::fromErrno(errno, path_));
        break;
      }
      const uint64_t room = maxBytes_ - bytes.size();
      bytes.resize(bytes.size() + static_cast<size_t>(room < 65536 ? room : 65536));
    }
    const ssize_t n = read(bytes.data() + done, bytes.size() - done);
    if (n < 0) return fail(FileStatus::fromErrno(errno, path_));
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

std::optional<std::string> readRegularFile(const std::string& path, uint64_t maxBytes,
                                           std::string* error, Links links) {
  RegularFile file = RegularFile::open(path, maxBytes, links);
  FileStatus status;
  std::optional<std::string> bytes = file.readAll(&status);
  if (!bytes && error != nullptr) *error = status.message();
  return bytes;
}

FileStatus checkRegularFile(const std::string& path, Links links) {
  struct stat st {};
  const int rc = links == Links::kRefuse ? ::lstat(path.c_str(), &st) : ::stat(path.c_str(), &st);
  if (rc != 0) return FileStatus::fromErrno(errno, path);
  if (!S_ISREG(st.st_mode)) return notRegular(path, st.st_mode);
  return {};
}

}  // namespace orvexa
