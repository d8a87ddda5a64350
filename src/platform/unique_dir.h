// The one owner of an open directory stream (DIR*) in the library: move-only,
// closedir on destruction; null is no stream.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace orvexa::detail {

class UniqueDir {
 public:
  UniqueDir() = default;
  // A stream on a folder by name; null when it cannot be opened.
  static UniqueDir open(const char* path) { return UniqueDir(::opendir(path)); }
  // A stream that takes over the folder descriptor `fd` (-1 allowed); on
  // failure `fd` is closed and the result is null.
  static UniqueDir adopt(int fd) {
    if (fd < 0) return {};
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) ::close(fd);
    return UniqueDir(dir);
  }
  // A stream on a duplicate of the folder descriptor `fd`, which stays the
  // caller's; null when it cannot be made.
  static UniqueDir over(int fd) { return adopt(::fcntl(fd, F_DUPFD_CLOEXEC, 0)); }

  UniqueDir(UniqueDir&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}
  UniqueDir& operator=(UniqueDir&& other) noexcept {
    if (this != &other) {
      if (dir_ != nullptr) ::closedir(dir_);
      dir_ = std::exchange(other.dir_, nullptr);
    }
    return *this;
  }
  UniqueDir(const UniqueDir&) = delete;
  UniqueDir& operator=(const UniqueDir&) = delete;
  ~UniqueDir() {
    if (dir_ != nullptr) ::closedir(dir_);
  }

  DIR* get() const { return dir_; }
  explicit operator bool() const { return dir_ != nullptr; }

 private:
  explicit UniqueDir(DIR* dir) : dir_(dir) {}
  DIR* dir_ = nullptr;
};

}  // namespace orvexa::detail
