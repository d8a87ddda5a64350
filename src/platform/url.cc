#include "orvexa/platform/url.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <string>

namespace orvexa {
namespace {

constexpr std::string_view kScheme = "file://";

bool isPathCharacterSlow(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    // unreserved
    case '-':
    case '.':
    case '_':
    case '~':
    // sub-delims
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    // the rest of pchar, and the separator
    case ':':
    case '@':
    case '/':
      return true;
    default:
      return false;
  }
}

// Every record's identity text encodes its path: look the characters up.
const std::array<bool, 256>& pathCharacterTable() {
  static const std::array<bool, 256> table = [] {
    std::array<bool, 256> t{};
    for (unsigned c = 0; c < 256; ++c) t[c] = isPathCharacterSlow(static_cast<unsigned char>(c));
    return t;
  }();
  return table;
}

bool isPathCharacter(unsigned char c) { return pathCharacterTable()[c]; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Makes `path` absolute against the working folder and drops trailing
// slashes (keeping "/"). Reports whether a trailing slash was present.
std::string normalizedPath(std::string_view path, bool* hadTrailingSlash) {
  std::string result;
  if (!path.empty() && path.front() != '/') {
    char buffer[4096];
    if (::getcwd(buffer, sizeof buffer) != nullptr) result = buffer;
    if (result.empty() || result.back() != '/') result += '/';
  }
  result.append(path);
  *hadTrailingSlash = result.size() > 1 && result.back() == '/';
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

bool isDirectoryOnDisk(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

Url Url::fromPath(std::string_view path) {
  if (path.empty()) return Url();
  bool trailingSlash = false;
  Url url;
  url.path_ = normalizedPath(path, &trailingSlash);
  // A written trailing slash names a folder whatever the disk says.
  url.isDirectory_ = trailingSlash || url.path_ == "/" || isDirectoryOnDisk(url.path_);
  return url;
}

Url Url::fromPath(std::string_view path, bool isDirectory) {
  if (path.empty()) return Url();
  bool trailingSlash = false;
  Url url;
  url.path_ = normalizedPath(path, &trailingSlash);
  url.isDirectory_ = isDirectory || trailingSlash || url.path_ == "/";
  return url;
}

Url Url::parse(std::string_view text, bool* ok) {
  if (ok != nullptr) *ok = false;
  constexpr std::string_view kFile = "file:";
  if (text.size() < kFile.size()) return Url();
  for (size_t i = 0; i < kFile.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != kFile[i]) return Url();
  }
  std::string_view rest = text.substr(kFile.size());
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    // The authority: empty or "localhost"; any other host is not a local file.
    size_t slash = rest.find('/');
    std::string_view host = rest.substr(0, slash);
    if (!host.empty()) {
      std::string lower;
      for (char c : host) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (lower != "localhost") return Url();
    }
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    if (rest.empty()) {  // "file://": the placeholder
      if (ok != nullptr) *ok = host.empty();
      return Url();
    }
  } else if (rest.empty() || rest.front() != '/') {
    return Url();  // "file:relative" names no absolute path
  }
  // A query or fragment is not part of the path.
  rest = rest.substr(0, rest.find_first_of("?#"));
  std::string decoded;
  if (!percentDecode(rest, &decoded)) return Url();
  if (decoded.find('\0') != std::string::npos) return Url();
  Url url;
  url.isDirectory_ = decoded.back() == '/';
  url.path_ = std::move(decoded);
  while (url.path_.size() > 1 && url.path_.back() == '/') url.path_.pop_back();
  if (url.path_ == "/") url.isDirectory_ = true;
  if (ok != nullptr) *ok = true;
  return url;
}

std::string Url::absoluteString() const {
  std::string result(kScheme);
  if (path_.empty()) return result;
  result += percentEncodePath(path_);
  if (isDirectory_ && path_ != "/") result += '/';
  return result;
}

std::string Url::lastPathComponent() const {
  if (path_.empty() || path_ == "/") return path_;
  return path_.substr(path_.rfind('/') + 1);
}

Url Url::appending(std::string_view component) const {
  Url url = appending(component, false);
  if (!url.isDirectory_) url.isDirectory_ = isDirectoryOnDisk(url.path_);
  return url;
}

Url Url::appending(std::string_view component, bool isDirectory) const {
  while (!component.empty() && component.front() == '/') component.remove_prefix(1);
  bool trailingSlash = false;
  while (!component.empty() && component.back() == '/') {
    component.remove_suffix(1);
    trailingSlash = true;
  }
  if (component.empty()) return *this;
  Url url;
  url.path_ = path_.empty() ? "/" : path_;
  if (url.path_.back() != '/') url.path_ += '/';
  url.path_.append(component);
  url.isDirectory_ = isDirectory || trailingSlash;
  return url;
}

Url Url::deletingLastPathComponent() const {
  if (path_.empty() || path_ == "/") return *this;
  size_t slash = path_.rfind('/');
  Url url;
  url.path_ = slash == 0 ? "/" : path_.substr(0, slash);
  url.isDirectory_ = true;
  return url;
}

std::string percentEncodePath(std::string_view path) {
  static constexpr std::array<char, 16> kHex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  std::string result;
  result.reserve(path.size());
  for (char ch : path) {
    auto c = static_cast<unsigned char>(ch);
    if (isPathCharacter(c)) {
      result += ch;
    } else {
      result += '%';
      result += kHex[c >> 4];
      result += kHex[c & 0x0F];
    }
  }
  return result;
}

bool percentDecode(std::string_view text, std::string* out) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      result += text[i];
      continue;
    }
    int high = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
    int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
    if (high < 0 || low < 0) return false;
    result += static_cast<char>((high << 4) | low);
    i += 2;
  }
  *out = std::move(result);
  return true;
}

}  // namespace orvexa
