#include "orvexa/units/json_text.h"

#include <array>
#include <ctime>

namespace orvexa {

namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

void appendEscape(std::string& out, unsigned code) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xF];
}

// Printable ASCII that a JSON string (also inside an HTML script element)
// takes as it is.
bool plainJsonByte(unsigned char c) {
  return c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '<' && c != '>' && c != '&';
}

// The bytes a file URL's path keeps as they are (RFC 3986 pchar and the
// separator), as Url::absoluteString writes it.
constexpr std::array<bool, 256> kPlainPathBytes = [] {
  std::array<bool, 256> table{};
  for (int c = 'a'; c <= 'z'; ++c) table[static_cast<size_t>(c)] = true;
  for (int c = 'A'; c <= 'Z'; ++c) table[static_cast<size_t>(c)] = true;
  for (int c = '0'; c <= '9'; ++c) table[static_cast<size_t>(c)] = true;
  for (char c : std::string_view("-._~!$&'()*+,;=:@/")) table[static_cast<unsigned char>(c)] = true;
  return table;
}();

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    size_t run = i;
    while (run < n && plainJsonByte(p[run])) ++run;
    if (run > i) {
      out.append(text.substr(i, run - i));
      i = run;
      if (i == n) break;
    }
    const unsigned char c = p[i];
    if (c < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\r':
          out += "\\r";
          break;
        default:
          appendEscape(out, c);
      }
      ++i;
      continue;
    }
    // A multi-byte sequence: its length, its smallest allowed value and its
    // value; anything malformed (overlong, surrogate, beyond U+10FFFF,
    // truncated) is one replacement character per bad byte.
    size_t length = 0;
    unsigned code = 0;
    unsigned minimum = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      code = c & 0x1Fu;
      minimum = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      code = c & 0x0Fu;
      minimum = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      code = c & 0x07u;
      minimum = 0x10000;
    }
    bool valid = length > 0 && i + length <= n;
    for (size_t k = 1; valid && k < length; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) {
        valid = false;
      } else {
        code = (code << 6) | (p[i + k] & 0x3Fu);
      }
    }
    if (valid && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) {
      valid = false;
    }
    if (!valid) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (code == 0x2028 || code == 0x2029) {
      appendEscape(out, code);
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  out += '"';
}

void appendJsonFileUrl(std::string& out, const Url& url) {
  appendJsonFilePath(out, url.path(), url.isDirectory());
}

void appendJsonFilePath(std::string& out, const std::string& path, bool isDirectory) {
  out += "\"file://";
  const char* p = path.data();
  const size_t n = path.size();
  size_t i = 0;
  while (i < n) {
    size_t run = i;
    // '&' is a path character, but escaped here for HTML's sake.
    while (run < n && kPlainPathBytes[static_cast<unsigned char>(p[run])] && p[run] != '&') ++run;
    out.append(p + i, run - i);
    if (run == n) break;
    const auto c = static_cast<unsigned char>(p[run]);
    if (c == '&') {
      appendEscape(out, c);
    } else {
      const char escaped[3] = {'%', kUpperHex[c >> 4], kUpperHex[c & 0x0F]};
      out.append(escaped, 3);
    }
    i = run + 1;
  }
  if (n > 0 && isDirectory && path != "/") out += '/';
  out += '"';
}

std::string isoDate(std::chrono::system_clock::time_point date) {
  std::time_t t = std::chrono::system_clock::to_time_t(date);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[32];
  size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return std::string(buffer, length);
}

}  // namespace orvexa
