#include "orvexa/scan/similar_text/document_text.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <utility>

#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/utf8.h"
#include "orvexa/units/log_service.h"

namespace orvexa {
namespace {

// Windows-1252 0x80-0x9F; the other bytes are Latin-1. Undefined ones stay
// the C1 control of the same number.
constexpr std::array<uint16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void appendCp1252(std::string& out, unsigned char b) {
  appendUtf8(out, b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b);
}

// The length of the valid UTF-8 sequence at `k`, or 0.
size_t validSequence(std::string_view s, size_t k) {
  const auto b0 = static_cast<unsigned char>(s[k]);
  size_t len = 0;
  uint32_t min = 0;
  uint32_t c = 0;
  if (b0 < 0x80) return 1;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, min = 0x80, c = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, min = 0x800, c = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, c = b0 & 0x07;
  } else {
    return 0;
  }
  if (k + len > s.size()) return 0;
  for (size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[k + i]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return len;
}

void cutAtCharacter(std::string& text, size_t maxText) {
  if (text.size() <= maxText) return;
  size_t cut = maxText;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
}

// Destinations whose groups hold no body text.
bool isSkippedDestination(std::string_view word) {
  static constexpr std::string_view kSkipped[] = {
      "fonttbl", "colortbl",  "stylesheet", "info",         "pict",       "object",
      "fldinst", "themedata", "datastore",  "latentstyles", "listtable",  "listoverridetable",
      "rsidtbl", "generator", "xmlnstbl",   "header",       "headerl",    "headerr",
      "headerf", "footer",    "footerl",    "footerr",      "footerf",    "filetbl",
      "revtbl",  "pgdsctbl",  "bkmkstart",  "bkmkend",      "nonshppict", "shppict",
      "mmathPr"};
  for (std::string_view s : kSkipped) {
    if (word == s) return true;
  }
  return false;
}

}  // namespace

std::string textAsUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t k = 0; k < bytes.size();) {
    if (bytes[k] == '\0') {
      ++k;
      continue;
    }
    if (const size_t len = validSequence(bytes, k); len > 0) {
      out.append(bytes.substr(k, len));
      k += len;
    } else {
      appendCp1252(out, static_cast<unsigned char>(bytes[k]));
      ++k;
    }
  }
  return out;
}

namespace {

// The character a symbol control word stands for; 0 for any other word.
uint32_t rtfSymbol(std::string_view word) {
  static constexpr std::pair<std::string_view, uint32_t> kSymbols[] = {
      {"emdash", 0x2014},    {"endash", 0x2013},    {"lquote", 0x2018}, {"rquote", 0x2019},
      {"ldblquote", 0x201C}, {"rdblquote", 0x201D}, {"bullet", 0x2022}};
  for (const auto& [name, code] : kSymbols) {
    if (word == name) return code;
  }
  return 0;
}

}  // namespace

std::string richTextBody(std::string_view rtf, size_t maxText) {
  std::string out;
  // Group depth, and the depth below which everything is skipped (0: none).
  size_t depth = 0;
  size_t skipFrom = 0;
  bool groupStart = false;  // just after "{": a destination may follow
  int fallback = 1;         // \ucN: characters to skip after \uN
  int toSkip = 0;
  auto emit = [&](uint32_t c) {
    if (skipFrom != 0) return;
    if (toSkip > 0) {
      --toSkip;
      return;
    }
    appendUtf8(out, c);
  };
  size_t k = 0;
  while (k < rtf.size() && out.size() <= maxText) {
    const char c = rtf[k];
    if (c == '{') {
      ++depth;
      groupStart = true;
      ++k;
      continue;
    }
    if (c == '}') {
      if (depth > 0) --depth;
      if (skipFrom != 0 && depth < skipFrom) skipFrom = 0;
      groupStart = false;
      toSkip = 0;
      ++k;
      continue;
    }
    if (c == '\r' || c == '\n') {
      ++k;
      continue;
    }
    if (c != '\\') {
      groupStart = false;
      emit(static_cast<unsigned char>(c));
      ++k;
      continue;
    }
    // A control word or symbol.
    ++k;
    if (k >= rtf.size()) break;
    const char first = rtf[k];
    const bool wasGroupStart = groupStart;
    groupStart = false;
    if (!((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z'))) {
      ++k;
      if (first == '*') {
        if (wasGroupStart && skipFrom == 0) skipFrom = depth;
      } else if (first == '\'') {
        if (k + 2 <= rtf.size()) {
          const std::string hex(rtf.substr(k, 2));
          char* end = nullptr;
          const long value = std::strtol(hex.c_str(), &end, 16);
          if (end == hex.c_str() + 2) {
            k += 2;
            if (skipFrom == 0 && toSkip > 0) {
              --toSkip;
            } else if (skipFrom == 0) {
              std::string one;
              appendCp1252(one, static_cast<unsigned char>(value));
              out += one;
            }
          }
        }
      } else if (first == '~') {
        emit(0xA0);
      } else if (first == '\\' || first == '{' || first == '}') {
        emit(static_cast<unsigned char>(first));
      } else if (first == '\n' || first == '\r') {
        emit('\n');
      }
      continue;
    }
    const size_t wordStart = k;
    while (k < rtf.size() && ((rtf[k] >= 'a' && rtf[k] <= 'z') || (rtf[k] >= 'A' && rtf[k] <= 'Z')))
      ++k;
    const std::string_view word = rtf.substr(wordStart, k - wordStart);
    bool negative = false;
    long parameter = 0;
    bool hasParameter = false;
    if (k < rtf.size() && rtf[k] == '-') {
      negative = true;
      ++k;
    }
    for (int digits = 0; k < rtf.size() && rtf[k] >= '0' && rtf[k] <= '9'; ++k, ++digits) {
      if (digits < 9) parameter = parameter * 10 + (rtf[k] - '0');
      hasParameter = true;
    }
    if (negative) parameter = -parameter;
    if (k < rtf.size() && rtf[k] == ' ') ++k;  // the delimiter belongs to the word

    if (wasGroupStart && skipFrom == 0 && isSkippedDestination(word)) {
      skipFrom = depth;
    } else if (word == "par" || word == "line" || word == "row" || word == "sect" ||
               word == "page") {
      emit('\n');
    } else if (word == "tab" || word == "cell") {
      emit('\t');
    } else if (word == "uc" && hasParameter) {
      fallback = static_cast<int>(std::max(0L, std::min(parameter, 8L)));
    } else if (word == "u" && hasParameter) {
      uint32_t code = static_cast<uint32_t>(parameter < 0 ? parameter + 65536 : parameter);
      if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
      if (skipFrom == 0) {
        toSkip = 0;
        appendUtf8(out, code);
        toSkip = fallback;
      }
    } else if (const uint32_t symbol = rtfSymbol(word); symbol != 0) {
      emit(symbol);
    }
  }
  cutAtCharacter(out, maxText);
  return out;
}

std::string readPlainTextFile(const std::string& path) {
  std::string error;
  std::optional<std::string> bytes = readRegularFile(path, kMaxPlainTextFile, &error);
  if (!bytes) {
    LogService::shard().log(LogService::LogLevel::Info, "Document skipped: " + error);
    return {};
  }
  return textAsUtf8(*bytes);
}

std::string readRichTextFile(const std::string& path, size_t maxText) {
  std::string error;
  std::optional<std::string> bytes = readRegularFile(path, kMaxRichTextFile, &error);
  if (!bytes) {
    LogService::shard().log(LogService::LogLevel::Info, "Document skipped: " + error);
    return {};
  }
  return richTextBody(*bytes, maxText);
}

}  // namespace orvexa
