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
PlistShape binaryShape(std::string_view bytes, int limit, uint64_t maxObjects) {
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
  // Objects in each finished object's tree, a shared object counted each
  // time it is reached: what the reader will build. Never above maxObjects.
  std::vector<uint64_t> weight(static_cast<size_t>(count), 0);
  struct Frame {
    uint64_t index;
    uint64_t start;
    uint64_t number;
    uint64_t next = 0;
    int tallest = -1;     // tallest child so far
    uint64_t weight = 1;  // itself and its children so far
  };
  auto add = [&](Frame& frame, uint64_t w) {
    frame.weight += w;
    return frame.weight <= maxObjects;
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
      const uint64_t w = frame.weight;
      weight[static_cast<size_t>(frame.index)] = w;
      stack.pop_back();
      if (stack.empty()) break;
      if (own > stack.back().tallest) stack.back().tallest = own;
      if (!add(stack.back(), w)) return PlistShape::kTooLarge;
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
        if (!add(frame, weight[static_cast<size_t>(child)])) return PlistShape::kTooLarge;
        break;
      }
      default:
        if (PlistShape shape = open(child); shape != PlistShape::kReadable) return shape;
        break;
    }
  }
  return PlistShape::kReadable;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool startsWithWord(std::string_view text, size_t at, std::string_view word) {
  if (text.substr(at, word.size()) != word) return false;
  const size_t after = at + word.size();
  if (after >= text.size()) return true;
  const char c = text[after];
  return c == '>' || c == '/' || isBlank(c);
}

// Whether text[at] ("<") opens an <array> or <dict> that is not written
// empty as "<array/>" (blanks allowed before the "/").
bool opensContainer(std::string_view text, size_t at) {
  size_t name = at + 1;
  if (startsWithWord(text, name, "array")) {
    name += 5;
  } else if (startsWithWord(text, name, "dict")) {
    name += 4;
  } else {
    return false;
  }
  while (name < text.size() && isBlank(text[name])) ++name;
  return text.substr(name, 2) != "/>";
}

// How many containers open in text[from, to), wherever they stand: used for
// stretches whose reading could be disputed (attribute values, CDATA).
int opensWithin(std::string_view text, size_t from, size_t to) {
  int opens = 0;
  for (size_t at = text.find('<', from); at < to; at = text.find('<', at + 1)) {
    if (opensContainer(text.substr(0, to), at)) ++opens;
  }
  return opens;
}

// True when the <array> and <dict> elements of an XML property list nest at
// most `limit` deep. The count may only overestimate what any reader sees:
// comments, processing instructions and declarations are skipped as XML
// reads them; containers opening inside a tag's quoted attribute values or
// inside CDATA are counted all the same, while closing tags count only where
// they stand as tags.
bool xmlNestingWithin(std::string_view text, int limit) {
  int depth = 0;
  size_t at = 0;
  while ((at = text.find('<', at)) != std::string_view::npos) {
    const size_t skipped = xmlSkippedMarkupEnd(text, at);
    if (skipped == std::string_view::npos) return true;  // unterminated: the reader refuses it
    if (skipped != at) {
      at = skipped;
      continue;
    }
    if (text.substr(at, 9) == "<![CDATA[") {
      size_t end = text.find("]]>", at + 9);
      end = end == std::string_view::npos ? text.size() : end + 3;
      depth += opensWithin(text, at + 9, end);
      if (depth > limit) return false;
      at = end;
      continue;
    }
    const bool closing = at + 1 < text.size() && text[at + 1] == '/';
    const bool container = startsWithWord(text, at + 1 + closing, "array") ||
                           startsWithWord(text, at + 1 + closing, "dict");
    if (container && !closing && opensContainer(text, at) && ++depth > limit) return false;
    // The end of the tag: the first ">" outside quoted attribute values.
    size_t end = at + 1;
    char quote = 0;
    for (; end < text.size(); ++end) {
      const char c = text[end];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        break;
      }
    }
    depth += opensWithin(text, at + 1, end);
    if (depth > limit) return false;
    if (container && closing && depth > 0) --depth;
    at = end;
  }
  return true;
}

}  // namespace

size_t xmlSkippedMarkupEnd(std::string_view text, size_t at) {
  if (text.substr(at, 4) == "<!--") {
    const size_t end = text.find("-->", at + 4);
    return end == std::string_view::npos ? end : end + 3;
  }
  if (text.substr(at, 2) == "<?") {
    const size_t end = text.find("?>", at + 2);
    return end == std::string_view::npos ? end : end + 2;
  }
  if (text.substr(at, 2) != "<!" || text.substr(at, 9) == "<![CDATA[") return at;
  // A declaration (<!DOCTYPE ...>): quoted strings, and an internal subset in
  // brackets with its own comments, instructions and declarations, end at
  // the first ">" outside all of them.
  int brackets = 0;
  for (size_t i = at + 2; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      i = text.find(c, i + 1);
      if (i == std::string_view::npos) return i;
    } else if (c == '[') {
      ++brackets;
    } else if (c == ']') {
      if (brackets > 0) --brackets;
    } else if (brackets > 0 && c == '<' &&
               (text.substr(i, 4) == "<!--" || text.substr(i, 2) == "<?")) {
      i = xmlSkippedMarkupEnd(text, i);
      if (i == std::string_view::npos) return i;
      --i;
    } else if (c == '>' && brackets == 0) {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

PlistShape plistShape(std::string_view bytes, int limit, uint64_t maxObjects) {
  if (bytes.substr(0, 6) == "bplist") return binaryShape(bytes, limit, maxObjects);
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
