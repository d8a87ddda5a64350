// Internal: a file descriptor opened for sequential reading, closed when the
// object goes away. Move-only; one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "platform/unique_fd.h"

namespace orvexa::internal {

class ReadOnlyFile {
 public:
  // Opens `path` read-only and close-on-exec and tells the kernel the reads
  // will be sequential. Nothing when the file cannot be opened.
  static std::optional<ReadOnlyFile> open(const std::string& path);

  // Like read(2) but never interrupted by a signal: bytes read, 0 at the end
  // of the file, -1 on a read error.
  ssize_t read(void* buffer, size_t capacity);

 private:
  explicit ReadOnlyFile(detail::UniqueFd fd) : fd_(std::move(fd)) {}
  detail::UniqueFd fd_;
};

}  // namespace orvexa::internal
