#include "units/read_only_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace orvexa::internal {

std::optional<ReadOnlyFile> ReadOnlyFile::open(const std::string& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::nullopt;
  // Only a hint: a file system without read-ahead control still reads fine.
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return ReadOnlyFile(detail::UniqueFd(fd));
}

ssize_t ReadOnlyFile::read(void* buffer, size_t capacity) {
  ssize_t got = 0;
  do {
    got = ::read(fd_.get(), buffer, capacity);
  } while (got < 0 && errno == EINTR);
  return got;
}

}  // namespace orvexa::internal
