#include "orvexa/platform/bookmark.h"

#include <cstdint>
#include <set>
#include <vector>

namespace orvexa {
namespace {

constexpr std::string_view kMagic = "book";
constexpr uint32_t kTocMagic = 0xFFFFFFFE;
constexpr uint32_t kKeyPath = 0x1004;
constexpr uint32_t kTypeString = 0x0101;
constexpr uint32_t kTypeArray = 0x0601;
constexpr int kMaxTables = 64;
constexpr uint32_t kHeaderLength = 48;
constexpr uint32_t kVersion = 0x10040000;

// The blob with bounds-checked little-endian reads. Offsets are 64-bit so
// that sums of 32-bit fields cannot wrap.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  bool has(uint64_t offset, uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  std::optional<uint32_t> u32(uint64_t offset) const {
    if (!has(offset, 4)) return std::nullopt;
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
      value = (value << 8) | static_cast<unsigned char>(
                                 bytes_[static_cast<size_t>(offset) + static_cast<size_t>(i)]);
    }
    return value;
  }
  std::string_view slice(uint64_t offset, uint64_t length) const {
    return bytes_.substr(static_cast<size_t>(offset), static_cast<size_t>(length));
  }

 private:
  std::string_view bytes_;
};

// The payload of the item at `offset` (relative to the header) if it has
// type `type`.
std::optional<std::string_view> item(const Reader& blob, uint64_t header, uint32_t offset,
                                     uint32_t type) {
  const uint64_t at = header + offset;
  std::optional<uint32_t> length = blob.u32(at);
  std::optional<uint32_t> itemType = blob.u32(at + 4);
  if (!length || !itemType || *itemType != type || !blob.has(at + 8, *length)) {
    return std::nullopt;
  }
  return blob.slice(at + 8, *length);
}

// The path that the array item at `offset` (relative to the header) names.
std::optional<std::string> pathFromItem(const Reader& blob, uint64_t header, uint32_t offset) {
  std::optional<std::string_view> array = item(blob, header, offset, kTypeArray);
  if (!array || array->size() % 4 != 0) return std::nullopt;
  const Reader elements(*array);
  std::string path;
  for (uint64_t i = 0; i < array->size(); i += 4) {
    std::optional<std::string_view> name = item(blob, header, *elements.u32(i), kTypeString);
    if (!name || name->empty() || name->find('/') != std::string_view::npos ||
        name->find('\0') != std::string_view::npos) {
      return std::nullopt;
    }
    path += '/';
    path.append(*name);
  }
  return path.empty() ? std::string("/") : path;
}

void putU32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void setU32(std::string& out, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

std::optional<std::string> resolvingBookmarkData(std::string_view data) {
  if (data.size() < 16 || data.substr(0, 4) != kMagic) return std::nullopt;
  const Reader whole(data);
  const uint32_t total = *whole.u32(4);
  const uint32_t header = *whole.u32(12);
  if (total > data.size() || header < 16 || uint64_t{header} + 4 > total) return std::nullopt;
  const Reader blob(data.substr(0, total));

  std::set<uint32_t> seen;
  uint32_t table = *blob.u32(header);
  for (int links = 0; table != 0 && links < kMaxTables; ++links) {
    if (!seen.insert(table).second) return std::nullopt;  // a loop
    const uint64_t at = uint64_t{header} + table;
    std::optional<uint32_t> length = blob.u32(at);
    std::optional<uint32_t> magic = blob.u32(at + 4);
    std::optional<uint32_t> next = blob.u32(at + 12);
    std::optional<uint32_t> count = blob.u32(at + 16);
    if (!length || !magic || !next || !count || *magic != kTocMagic) return std::nullopt;
    const uint64_t entries = uint64_t{*count} * 12;
    if (uint64_t{*length} + 8 < 20 + entries || !blob.has(at, uint64_t{*length} + 8)) {
      return std::nullopt;
    }
    for (uint64_t e = 0; e < entries; e += 12) {
      if (*blob.u32(at + 20 + e) == kKeyPath) {
        return pathFromItem(blob, header, *blob.u32(at + 20 + e + 4));
      }
    }
    table = *next;
  }
  return std::nullopt;
}

std::string bookmarkDataForPath(std::string_view path) {
  std::vector<std::string_view> names;
  size_t at = 0;
  while (at < path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > at) names.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }

  std::string out(kMagic);
  putU32(out, 0);  // total length, set at the end
  putU32(out, kVersion);
  putU32(out, kHeaderLength);
  out.resize(kHeaderLength, '\0');
  putU32(out, 0);  // offset of the table of contents, set below

  auto offsetHere = [&] { return static_cast<uint32_t>(out.size() - kHeaderLength); };
  std::vector<uint32_t> nameOffsets;
  for (std::string_view name : names) {
    nameOffsets.push_back(offsetHere());
    putU32(out, static_cast<uint32_t>(name.size()));
    putU32(out, kTypeString);
    out.append(name);
    while (out.size() % 4 != 0) out += '\0';
  }
  const uint32_t arrayOffset = offsetHere();
  putU32(out, static_cast<uint32_t>(4 * nameOffsets.size()));
  putU32(out, kTypeArray);
  for (uint32_t offset : nameOffsets) putU32(out, offset);

  const uint32_t tableOffset = offsetHere();
  setU32(out, kHeaderLength, tableOffset);
  putU32(out, 12 + 12);  // identifier, next and count, then one entry
  putU32(out, kTocMagic);
  putU32(out, 1);  // identifier
  putU32(out, 0);  // no next table
  putU32(out, 1);  // entries
  putU32(out, kKeyPath);
  putU32(out, arrayOffset);
  putU32(out, 0);
  setU32(out, 4, static_cast<uint32_t>(out.size()));
  return out;
}

}  // namespace orvexa
