// The one way the library opens a file by name to read it: other programs'
// stores, property lists, documents, pictures, archives and hashing inputs.
//
// The open never blocks (O_NONBLOCK, so a named pipe or a device where a
// file is expected cannot stall a scan), never takes a controlling terminal,
// is close-on-exec and, with Links::kRefuse, does not follow a link in the
// last component. The opened object is then checked with fstat: anything but
// a regular file (folder, named pipe, socket, device) is refused as
// unreadable, and so is a file larger than the size the caller names. Each
// refusal carries a reason in words naming the path.
//
// Ownership: a RegularFile owns its descriptor and closes it when destroyed.
// Thread-safety: the functions keep no state; one RegularFile is used by one
// thread at a time. Errors: returned as values, never thrown.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "orvexa/platform/posix_error.h"

namespace orvexa {

enum class Links { kFollow, kRefuse };

inline constexpr uint64_t kNoSizeLimit = std::numeric_limits<uint64_t>::max();
// The cap for other programs' small stores (property lists, JSON files).
inline constexpr uint64_t kMaxStoreFileBytes = uint64_t{256} << 20;

class RegularFile {
 public:
  // Opens `path` as above. On failure the object holds no descriptor and
  // status() says why.
  static RegularFile open(const std::string& path, uint64_t maxBytes = kNoSizeLimit,
                          Links links = Links::kFollow);

  // Opens `name` inside the open folder `folderFd` the same way, never
  // following a link in `name`: for callers that reached the folder
  // themselves without following links.
  static RegularFile openAt(int folderFd, const std::string& name, uint64_t maxBytes);
  RegularFile(RegularFile&& other) noexcept;
  RegularFile& operator=(RegularFile&& other) noexcept;
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;
  ~RegularFile();

  bool ok() const { return fd_ >= 0; }
  const FileStatus& status() const { return status_; }
  int fd() const { return fd_; }
  // The size fstat gave at the open.
  uint64_t size() const { return size_; }
  // "/proc/self/fd/N": a name for exactly this open file, for libraries that
  // insist on opening by name. Valid while the object lives.
  std::string procPath() const;

  // Like read(2), never interrupted by a signal: bytes read, 0 at the end,
  // -1 on a read error (errno set).
  ssize_t read(void* buffer, size_t capacity);
  // The rest of the file. A file that grew past the cap since the open is
  // refused; one that shrank gives what is there.
  std::optional<std::string> readAll(FileStatus* status = nullptr);

 private:
  RegularFile() = default;
  static RegularFile openIn(int folderFd, const std::string& path, uint64_t maxBytes, Links links);
  int fd_ = -1;
  uint64_t size_ = 0;
  uint64_t maxBytes_ = kNoSizeLimit;
  std::string path_;
  FileStatus status_;
};

// The whole content of the regular file at `path`, at most `maxBytes` long.
// Nothing on failure; `error` (when given) then says why in words.
std::optional<std::string> readRegularFile(const std::string& path, uint64_t maxBytes,
                                           std::string* error = nullptr,
                                           Links links = Links::kFollow);

// Whether `path` names a regular file, without opening it for reading
// (lstat with Links::kRefuse, stat otherwise). A missing path is ENOENT.
FileStatus checkRegularFile(const std::string& path, Links links = Links::kFollow);

}  // namespace orvexa
