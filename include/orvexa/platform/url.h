// A file URL: an absolute path plus whether it names a folder. Renders as the
// absolute string the records' identity texts use ("file:///tmp/a/").
#pragma once

#include <compare>
#include <string>
#include <string_view>

namespace orvexa {

class Url {
 public:
  // The empty path: the placeholder URL ("file://").
  Url() = default;

  // A file URL for `path`. The folder flag is taken from the file system
  // (an existing directory gets the trailing slash), as the platform does.
  static Url fromPath(std::string_view path);
  // A file URL for `path` with the folder flag given by the caller.
  static Url fromPath(std::string_view path, bool isDirectory);
  // Parses "file://..." (percent-encoded) text. Returns an empty Url when
  // the text is not a file URL; `ok` (when given) says which.
  static Url parse(std::string_view text, bool* ok = nullptr);

  // The decoded path, without a trailing slash (except for "/").
  const std::string& path() const { return path_; }
  bool isDirectory() const { return isDirectory_; }
  bool empty() const { return path_.empty(); }

  // "file://" + percent-encoded path (+ "/" for a folder).
  std::string absoluteString() const;
  std::string lastPathComponent() const;
  Url appending(std::string_view component) const;  // folder flag from the file system
  Url appending(std::string_view component, bool isDirectory) const;
  Url deletingLastPathComponent() const;

  friend bool operator==(const Url& a, const Url& b) {
    return a.path_ == b.path_ && a.isDirectory_ == b.isDirectory_;
  }
  friend auto operator<=>(const Url& a, const Url& b) {
    if (auto c = a.path_ <=> b.path_; c != 0) return c;
    return a.isDirectory_ <=> b.isDirectory_;
  }

 private:
  std::string path_;
  bool isDirectory_ = false;
};

// Percent-encodes a path the way file URLs are written (RFC 3986 path
// characters stay, everything else becomes %XX).
std::string percentEncodePath(std::string_view path);
// Removes percent encoding; false when a '%' is not followed by two hex digits.
bool percentDecode(std::string_view text, std::string* out);

}  // namespace orvexa

template <>
struct std::hash<orvexa::Url> {
  size_t operator()(const orvexa::Url& u) const noexcept {
    return std::hash<std::string>()(u.path()) ^ (u.isDirectory() ? 0x9e3779b9u : 0u);
  }
};
