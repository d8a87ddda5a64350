#include "platform/plist_shape.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace orvexa::detail {
namespace {

uint64_t readBigEndian(std::string_view bytes, uint64_t offset, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[static_cast<size_t>(offset + i)]);
  }
  return value;
}

// The trailer of a binary property list: where the offset table is and how
// wide its entries and the object references are.
struct BinaryTable {
  uint64_t count = 0;
  uint64_t top = 0;
  uint64_t tableOffset = 0;
  unsigned offsetWidth = 0;
  unsigned refWidth = 0;
};

std::optional<BinaryTable> readTable(std::string_view bytes) {
  constexpr size_t kTrailer = 32;
  if (bytes.size() < 8 + kTrailer) return std::nullopt;
  const uint64_t trailer = bytes.size() - kTrailer;
  BinaryTable t;
  t.offsetWidth = static_cast<unsigned char>(bytes[static_cast<size_t>(trailer + 6)]);
  t.refWidth = static_cast<unsigned char>(bytes[static_cast<size_t>(trailer + 7)]);
  t.count = readBigEndian(bytes, trailer + 8, 8);
  t.top = readBigEndian(bytes, trailer + 16, 8);
  t.tableOffset = readBigEndian(bytes, trailer + 24, 8);
  if (t.offsetWidth < 1 || t.offsetWidth > 8 || t.refWidth < 1 || t.refWidth > 8) {
    return std::nullopt;
  }
  if (t.count == 0 || t.top >= t.count || t.tableOffset < 8 || t.tableOffset > trailer) {
    return std::nullopt;
  }
  if (t.count > (trailer - t.tableOffset) / t.offsetWidth) return std::nullopt;
  return t;
}

// Whether object `index` is a text holding NUL; nothing when the object is
// malformed.
std::optional<bool> textHoldsNul(std::string_view bytes, const BinaryTable& t, uint64_t index) {
  const uint64_t offset =
      readBigEndian(bytes, t.tableOffset + index * t.offsetWidth, t.offsetWidth);
  if (offset < 8 || offset >= t.tableOffset) return std::nullopt;
  const auto marker = static_cast<unsigned char>(bytes[static_cast<size_t>(offset)]);
  const unsigned type = marker >> 4;
  if (type != 0x5 && type != 0x6) return false;  // ASCII and UTF-16 texts
  uint64_t start = offset + 1;
  uint64_t n = marker & 0x0F;
  if (n == 0x0F) {
    if (start >= t.tableOffset) return std::nullopt;
    const auto intMarker = static_cast<unsigned char>(bytes[static_cast<size_t>(start)]);
    if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return std::nullopt;
    const unsigned width = 1u << (intMarker & 0x0F);
    if (start + 1 + width > t.tableOffset) return std::nullopt;
    n = readBigEndian(bytes, start + 1, width);
    start += 1 + width;
  }
  const unsigned unit = type == 0x6 ? 2 : 1;
  if (n > (t.tableOffset - start) / unit) return std::nullopt;
  for (uint64_t i = 0; i < n; ++i) {
    if (readBigEndian(bytes, start + i * unit, unit) == 0) return true;
  }
  return false;
}

// True when the containers of a binary property list nest at most `limit`
// deep and no dictionary key holds NUL (the reader asserts on such keys).
// The object table is walked depth-first with an explicit stack and the
// height of each object is remembered, so shared objects are measured once.
// Malformed tables, references out of range and cycles fail the check too:
// what cannot be checked is not handed on.
PlistShape binaryShape(std::string_view bytes, int limit) {
  std::optional<BinaryTable> parsed = readTable(bytes);
  if (!parsed) return PlistShape::kMalformed;
  const BinaryTable& t = *parsed;
  const uint64_t count = t.count;
  const uint64_t top = t.top;
  const uint64_t tableOffset = t.tableOffset;
  const unsigned offsetWidth = t.offsetWidth;
  const unsigned refWidth = t.refWidth;

  // Where the references of container `index` start and how many there are;
  // false for a malformed object. Leaves have no references.
  auto referencesOf = [&](uint64_t index, uint64_t* start, uint64_t* number) {
    const uint64_t offset = readBigEndian(bytes, tableOffset + index * offsetWidth, offsetWidth);
    if (offset < 8 || offset >= tableOffset) return false;
    const auto marker = static_cast<unsigned char>(bytes[static_cast<size_t>(offset)]);
    const unsigned type = marker >> 4;
    *number = 0;
    *start = offset + 1;
    if (type != 0xA && type != 0xB && type != 0xC && type != 0xD) return true;
    uint64_t n = marker & 0x0F;
    if (n == 0x0F) {
      if (*start >= tableOffset) return false;
      const auto intMarker = static_cast<unsigned char>(bytes[static_cast<size_t>(*start)]);
      if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return false;
      const unsigned width = 1u << (intMarker & 0x0F);
      if (*start + 1 + width > tableOffset) return false;
      n = readBigEndian(bytes, *start + 1, width);
      *start += 1 + width;
    }
    if (type == 0xD) {
      if (n > UINT64_MAX / 2) return false;
      n *= 2;
    }
    if (n > (tableOffset - *start) / refWidth) return false;
    *number = n;
    return true;
  };

  enum : uint8_t { kUnseen = 0, kOpen = 1, kDone = 2 };
  std::vector<uint8_t> state(static_cast<size_t>(count), kUnseen);
  std::vector<uint16_t> height(static_cast<size_t>(count), 0);
  struct Frame {
    uint64_t index;
    uint64_t start;
    uint64_t number;
    uint64_t next = 0;
    int tallest = -1;  // tallest child so far
  };
  std::vector<Frame> stack;
  auto open = [&](uint64_t index) {
    Frame frame{index, 0, 0};
    if (!referencesOf(index, &frame.start, &frame.number)) return PlistShape::kMalformed;
    const uint64_t offset = readBigEndian(bytes, tableOffset + index * offsetWidth, offsetWidth);
    if ((static_cast<unsigned char>(bytes[static_cast<size_t>(offset)]) >> 4) == 0xD) {
      for (uint64_t k = 0; k < frame.number / 2; ++k) {
        const uint64_t key = readBigEndian(bytes, frame.start + k * refWidth, refWidth);
        if (key >= count) return PlistShape::kMalformed;
        const std::optional<bool> nul = textHoldsNul(bytes, t, key);
        if (!nul) return PlistShape::kMalformed;
        if (*nul) return PlistShape::kKeyWithNul;
      }
    }
    state[static_cast<size_t>(index)] = kOpen;
    stack.push_back(frame);
    return static_cast<int>(stack.size()) <= limit + 1 ? PlistShape::kReadable
                                                       : PlistShape::kTooDeep;
  };
  if (PlistShape shape = open(top); shape != PlistShape::kReadable) return shape;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.number) {
      const int own = frame.number == 0 ? 0 : frame.tallest + 1;
      if (own > limit) return PlistShape::kTooDeep;
      state[static_cast<size_t>(frame.index)] = kDone;
      height[static_cast<size_t>(frame.index)] = static_cast<uint16_t>(own);
      stack.pop_back();
      if (!stack.empty() && own > stack.back().tallest) stack.back().tallest = own;
      continue;
    }
    const uint64_t child = readBigEndian(bytes, frame.start + frame.next * refWidth, refWidth);
    ++frame.next;
    if (child >= count) return PlistShape::kMalformed;
    switch (state[static_cast<size_t>(child)]) {
      case kOpen:
        return PlistShape::kMalformed;  // a cycle
      case kDone: {
        const int h = height[static_cast<size_t>(child)];
        if (h > frame.tallest) frame.tallest = h;
        break;
      }
      default:
        if (PlistShape shape = open(child); shape != PlistShape::kReadable) return shape;
        break;
    }
  }
  return PlistShape::kReadable;
}

bool startsWithWord(std::string_view text, size_t at, std::string_view word) {
  if (text.substr(at, word.size()) != word) return false;
  const size_t after = at + word.size();
  if (after >= text.size()) return true;
  const char c = text[after];
  return c == '>' || c == '/' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// True when the <array> and <dict> elements of an XML property list nest at
// most `limit` deep. A simple tag count: comments and CDATA sections are
// skipped; it may only overestimate, never underestimate.
bool xmlNestingWithin(std::string_view text, int limit) {
  int depth = 0;
  size_t at = 0;
  while ((at = text.find('<', at)) != std::string_view::npos) {
    ++at;
    if (text.substr(at, 3) == "!--") {
      size_t end = text.find("-->", at + 3);
      if (end == std::string_view::npos) return true;  // unterminated: the reader refuses it
      at = end + 3;
      continue;
    }
    if (text.substr(at, 8) == "![CDATA[") {
      size_t end = text.find("]]>", at + 8);
      if (end == std::string_view::npos) return true;
      at = end + 3;
      continue;
    }
    const bool closing = at < text.size() && text[at] == '/';
    const size_t name = closing ? at + 1 : at;
    if (!startsWithWord(text, name, "array") && !startsWithWord(text, name, "dict")) continue;
    if (closing) {
      --depth;
      continue;
    }
    size_t end = text.find('>', name);
    if (end == std::string_view::npos) return true;
    if (text[end - 1] == '/') continue;  // <array/>
    if (++depth > limit) return false;
  }
  return true;
}

}  // namespace

PlistShape plistShape(std::string_view bytes, int limit) {
  if (bytes.substr(0, 6) == "bplist") return binaryShape(bytes, limit);
  return xmlNestingWithin(bytes, limit) ? PlistShape::kReadable : PlistShape::kTooDeep;
}

bool binaryPlistHasTextWithNul(std::string_view bytes) {
  if (bytes.substr(0, 6) != "bplist") return false;
  std::optional<BinaryTable> table = readTable(bytes);
  if (!table) return false;
  for (uint64_t i = 0; i < table->count; ++i) {
    if (textHoldsNul(bytes, *table, i) == true) return true;
  }
  return false;
}

}  // namespace orvexa::detail
