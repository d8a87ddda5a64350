// The one place where errno values become text, and the small status value
// that file operations return.
//
// Thread-safety: everything here is safe for concurrent use.
#pragma once

#include <string>
#include <string_view>

namespace orvexa {

// The system's text for an errno value ("No such file or directory"); an
// unknown value gives "Unknown error N".
std::string posixErrorText(int err);

// The outcome of a file operation: success, or the errno value that stopped
// it with a message naming the path ("/tmp/x: Permission denied").
class [[nodiscard]] FileStatus {
 public:
  FileStatus() = default;  // success

  static FileStatus fromErrno(int code, std::string_view path);
  // A failure with a message of the caller's own (code is still an errno
  // value, for callers that branch on it).
  static FileStatus withMessage(int code, std::string message);

  bool ok() const { return code_ == 0; }
  int code() const { return code_; }
  // Empty on success.
  const std::string& message() const { return message_; }

 private:
  int code_ = 0;
  std::string message_;
};

}  // namespace orvexa
