#include "orvexa/platform/posix_error.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace orvexa {

std::string posixErrorText(int err) {
  char buffer[256];
  // GNU strerror_r: returns either `buffer` or a static string.
  const char* text = strerror_r(err, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : "Unknown error " + std::to_string(err);
}

FileStatus FileStatus::fromErrno(int code, std::string_view path) {
  std::string message(path);
  message += ": ";
  message += posixErrorText(code);
  return withMessage(code, std::move(message));
}

FileStatus FileStatus::withMessage(int code, std::string message) {
  FileStatus status;
  status.code_ = code == 0 ? EIO : code;  // a failure never reads as success
  status.message_ = std::move(message);
  return status;
}

}  // namespace orvexa
