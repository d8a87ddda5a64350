#include "orvexa/platform/url.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

#include "orvexa/platform/ascii_case.h"

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

// The length of the scheme that `text` starts with (RFC 3986: a letter,
// then letters, digits, "+", "-", "."; ended by ":"), 0 when there is none.
size_t schemeLength(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return 0;
  if (std::isalpha(static_cast<unsigned char>(text[0])) == 0) return 0;
  for (size_t i = 1; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (std::isalnum(c) == 0 && c != '+' && c != '-' && c != '.') return 0;
  }
  return colon;
}

// Characters no address is written with: blanks and control characters
// (which would also break the line-based outputs) and those that every
// browser escapes.
bool isForbiddenInAddress(unsigned char c) {
  return c <= 0x20 || c == 0x7F || c == '"' || c == '<' || c == '>' || c == '\\';
}

// An address of another scheme in three pieces: what precedes the path
// (the scheme and the authority), the path as written, and what follows it
// (query and fragment). An address whose text after the scheme is neither
// "//authority..." nor "/..." has no path: it is all `head`.
struct AddressParts {
  std::string_view head;
  std::string_view path;
  std::string_view tail;
  bool hasPath = false;
};

AddressParts splitAddress(std::string_view address, size_t schemeEnd) {
  AddressParts parts;
  std::string_view rest = address.substr(schemeEnd + 1);
  size_t pathStart = schemeEnd + 1;
  if (rest.substr(0, 2) == "//") {
    pathStart = std::min(address.find_first_of("/?#", schemeEnd + 3), address.size());
  } else if (rest.empty() || rest.front() != '/') {
    parts.head = address;
    return parts;
  }
  const size_t pathEnd = std::min(address.find_first_of("?#", pathStart), address.size());
  parts.head = address.substr(0, pathStart);
  parts.path = address.substr(pathStart, pathEnd - pathStart);
  parts.tail = address.substr(pathEnd);
  parts.hasPath = true;
  return parts;
}

}  // namespace

const std::string& Url::emptyText() {
  static const std::string* const empty = new std::string;  // outlives static destructors
  return *empty;
}

Url Url::fromPath(std::string_view path) {
  if (path.empty()) return Url();
  bool trailingSlash = false;
  Url url;
  url.pathText() = normalizedPath(path, &trailingSlash);
  // A written trailing slash names a folder whatever the disk says.
  url.setDirectory(trailingSlash || url.path() == "/" || isDirectoryOnDisk(url.path()));
  return url;
}

Url Url::fromPath(std::string_view path, bool isDirectory) {
  if (path.empty()) return Url();
  bool trailingSlash = false;
  Url url;
  url.pathText() = normalizedPath(path, &trailingSlash);
  url.setDirectory(isDirectory || trailingSlash || url.path() == "/");
  return url;
}

Url Url::parse(std::string_view text, bool* ok) {
  if (ok != nullptr) *ok = false;
  constexpr std::string_view kFile = "file:";
  if (!equalsIgnoringAsciiCase(text.substr(0, kFile.size()), kFile)) return Url();
  std::string_view rest = text.substr(kFile.size());
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    // The authority: empty or "localhost"; any other host is not a local file.
    size_t slash = rest.find('/');
    std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !equalsIgnoringAsciiCase(host, "localhost")) return Url();
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
  url.setDirectory(decoded.back() == '/');
  std::string& decodedPath = url.pathText() = std::move(decoded);
  while (decodedPath.size() > 1 && decodedPath.back() == '/') decodedPath.pop_back();
  if (decodedPath == "/") url.setDirectory(true);
  if (ok != nullptr) *ok = true;
  return url;
}

Url Url::fromString(std::string_view text, bool* ok) {
  if (ok != nullptr) *ok = false;
  const size_t schemeEnd = schemeLength(text);
  if (schemeEnd == 0) return Url();
  if (equalsIgnoringAsciiCase(text.substr(0, schemeEnd), "file")) return parse(text, ok);
  for (char c : text) {
    if (isForbiddenInAddress(static_cast<unsigned char>(c))) return Url();
  }
  const AddressParts parts = splitAddress(text, schemeEnd);
  std::string decoded;
  if (!percentDecode(parts.path, &decoded)) return Url();
  if (decoded.find('\0') != std::string::npos) return Url();
  Url url;
  url.setAddress(std::string(text));
  url.setDirectory(!parts.path.empty() && parts.path.back() == '/');
  std::string& decodedPath = url.pathText() = std::move(decoded);
  while (decodedPath.size() > 1 && decodedPath.back() == '/') decodedPath.pop_back();
  if (ok != nullptr) *ok = true;
  return url;
}

std::string Url::scheme() const {
  if (isFileURL()) return "file";
  return asciiLower(std::string_view(*addressText()).substr(0, addressText()->find(':')));
}

std::string Url::absoluteString() const {
  if (!isFileURL()) return *addressText();
  std::string result(kScheme);
  if (path().empty()) return result;
  result += percentEncodePath(path());
  if (isDirectory() && path() != "/") result += '/';
  return result;
}

std::string Url::lastPathComponent() const {
  const std::string& p = path();
  if (p.empty() || p == "/") return p;
  return p.substr(p.rfind('/') + 1);
}

Url Url::appending(std::string_view component) const {
  Url url = appending(component, false);
  if (!isFileURL()) return url;
  if (!url.isDirectory()) url.setDirectory(isDirectoryOnDisk(url.path()));
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
  if (!isFileURL()) {
    const AddressParts parts = splitAddress(*addressText(), addressText()->find(':'));
    if (!parts.hasPath) return *this;
    std::string path(parts.path);
    if (path.empty() || path.back() != '/') path += '/';
    path += percentEncodePath(component);
    if (isDirectory || trailingSlash) path += '/';
    return fromString(std::string(parts.head) + path + std::string(parts.tail));
  }
  Url url;
  std::string& joined = url.pathText();
  const std::string& base = path();
  joined.reserve(base.size() + component.size() + 1);
  joined = base.empty() ? "/" : base;
  if (joined.back() != '/') joined += '/';
  joined.append(component);
  url.setDirectory(isDirectory || trailingSlash);
  return url;
}

Url Url::deletingLastPathComponent() const {
  if (path().empty() || path() == "/") return *this;
  if (!isFileURL()) {
    const AddressParts parts = splitAddress(*addressText(), addressText()->find(':'));
    std::string_view path = parts.path;
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    path = path.substr(0, path.rfind('/') + 1);
    return fromString(std::string(parts.head) + std::string(path) + std::string(parts.tail));
  }
  size_t slash = path().rfind('/');
  Url url;
  url.pathText() = slash == 0 ? "/" : path().substr(0, slash);
  url.setDirectory(true);
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
