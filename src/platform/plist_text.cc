#include "platform/plist_text.h"

#include <cstdint>

#include "orvexa/platform/utf8.h"
#include "platform/plist_shape.h"

namespace orvexa::detail {
namespace {

std::string fromUtf16(std::string_view bytes, bool bigEndian) {
  auto unit = [&](size_t i) -> uint32_t {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    return bigEndian ? (a << 8 | b) : (b << 8 | a);
  };
  std::string out;
  out.reserve(bytes.size() / 2);
  const size_t end = bytes.size() & ~size_t{1};
  for (size_t i = 0; i < end; i += 2) {
    uint32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < end) {
      const uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // an unpaired surrogate
    appendUtf8(out, c);
  }
  return out;
}

// A character an XML text may begin with: "<" or a blank.
bool startsXml(unsigned char c) {
  return c == '<' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether text[at] ("&") starts a reference the parser knows.
bool startsReference(std::string_view text, size_t at) {
  for (std::string_view named : {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"}) {
    if (text.substr(at, named.size()) == named) return true;
  }
  size_t i = at + 1;
  if (i >= text.size() || text[i] != '#') return false;
  const bool hex = i + 1 < text.size() && text[i + 1] == 'x';
  i += hex ? 2 : 1;
  const size_t digits = i;
  while (i < text.size() && (hex ? isHex(text[i]) : (text[i] >= '0' && text[i] <= '9'))) ++i;
  return i > digits && i < text.size() && text[i] == ';';
}

// Where the closing tag starting at text[at] ("</plist", blanks, ">") ends,
// or npos.
size_t closingPlistEnd(std::string_view text, size_t at) {
  if (text.substr(at, 7) != "</plist") return std::string_view::npos;
  size_t i = at + 7;
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) {
    ++i;
  }
  return i < text.size() && text[i] == '>' ? i + 1 : std::string_view::npos;
}

}  // namespace

std::optional<std::string> tidyXmlPlist(std::string_view bytes) {
  std::string decoded;
  std::string_view text = bytes;
  if (bytes.size() >= 2) {
    const auto b0 = static_cast<unsigned char>(bytes[0]);
    const auto b1 = static_cast<unsigned char>(bytes[1]);
    if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF)) {
      decoded = fromUtf16(bytes.substr(2), b0 == 0xFE);
      text = decoded;
    } else if ((startsXml(b0) && b1 == 0) || (b0 == 0 && startsXml(b1))) {
      decoded = fromUtf16(bytes, b0 == 0);
      text = decoded;
    }
  }
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos || text[first] != '<') return std::nullopt;

  std::string out;
  out.reserve(text.size() + 16);
  size_t i = 0;
  // Copies text[i, end) as it is and moves past it.
  auto copyThrough = [&](std::string_view terminator, size_t from) {
    size_t end = text.find(terminator, from);
    end = end == std::string_view::npos ? text.size() : end + terminator.size();
    out.append(text.substr(i, end - i));
    i = end;
  };
  // Inside a tag (after its "<", before its ">"), and inside a quoted
  // attribute value there: markup is not recognised.
  bool inTag = false;
  char quote = 0;
  while (i < text.size()) {
    const char c = text[i];
    const size_t skipped = c == '<' && !inTag ? xmlSkippedMarkupEnd(text, i) : i;
    if (skipped == std::string_view::npos) break;
    if (skipped != i) {
      i = skipped;
      continue;
    }
    if (inTag) {
      if (quote != 0 && c == quote) {
        quote = 0;
      } else if (quote == 0 && (c == '"' || c == '\'')) {
        quote = c;
      } else if (quote == 0 && c == '>') {
        inTag = false;
      }
    }
    if (c == '<' && !inTag && text.substr(i, 9) == "<![CDATA[") {
      copyThrough("]]>", i + 9);
    } else if (c == '<' && !inTag && closingPlistEnd(text, i) != std::string_view::npos) {
      out.append(text.substr(i, closingPlistEnd(text, i) - i));
      break;
    } else if (c == '&' && !startsReference(text, i)) {
      out += "&amp;";
      ++i;
    } else {
      if (c == '<' && !inTag) inTag = true;
      out += c;
      ++i;
    }
  }
  return out;
}

}  // namespace orvexa::detail
