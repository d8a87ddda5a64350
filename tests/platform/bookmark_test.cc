#include "orvexa/platform/bookmark.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvexa {
namespace {

// Builds bookmark blobs piece by piece, so that each test can bend one
// field. Offsets are relative to the header, as in the format.
class Blob {
 public:
  static constexpr uint32_t kHeader = 48;

  Blob() {
    bytes_ = "book";
    u32(0);           // total, set by finish()
    u32(0x10040000);  // version
    u32(kHeader);
    bytes_.resize(kHeader, '\0');
    u32(0);  // first table, set by setFirstTable()
  }

  uint32_t here() const { return static_cast<uint32_t>(bytes_.size() - kHeader); }

  uint32_t item(uint32_t type, const std::string& payload) {
    uint32_t at = here();
    u32(static_cast<uint32_t>(payload.size()));
    u32(type);
    bytes_ += payload;
    while (bytes_.size() % 4 != 0) bytes_ += '\0';
    return at;
  }
  uint32_t string(const std::string& text) { return item(0x0101, text); }
  uint32_t array(const std::vector<uint32_t>& offsets) {
    std::string payload;
    for (uint32_t o : offsets) append(payload, o);
    return item(0x0601, payload);
  }
  uint32_t path(const std::vector<std::string>& names) {
    std::vector<uint32_t> offsets;
    for (const std::string& n : names) offsets.push_back(string(n));
    return array(offsets);
  }
  // A table of (key, item offset) entries; returns its offset.
  uint32_t table(const std::vector<std::pair<uint32_t, uint32_t>>& entries, uint32_t next = 0,
                 uint32_t magic = 0xFFFFFFFE) {
    uint32_t at = here();
    u32(static_cast<uint32_t>(12 + 12 * entries.size()));
    u32(magic);
    u32(1);
    u32(next);
    u32(static_cast<uint32_t>(entries.size()));
    for (auto [key, offset] : entries) {
      u32(key);
      u32(offset);
      u32(0);
    }
    return at;
  }
  void setFirstTable(uint32_t offset) { put(kHeader, offset); }
  void setU32(uint32_t absolute, uint32_t value) { put(absolute, value); }
  std::string finish() {
    put(4, static_cast<uint32_t>(bytes_.size()));
    return bytes_;
  }

 private:
  static void append(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  void u32(uint32_t v) { append(bytes_, v); }
  void put(size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) bytes_[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  std::string bytes_;
};

TEST(BookmarkTest, RecordedPathsResolve) {
  struct Case {
    std::string path;
    std::string resolved;
  };
  const Case cases[] = {
      {"/Users/tester/Documents/Report.pdf", "/Users/tester/Documents/Report.pdf"},
      {"/", "/"},
      {"/Volumes/USB Disk/Fotos/Grüße ✓.jpg", "/Volumes/USB Disk/Fotos/Grüße ✓.jpg"},
      {"/tmp//double///slashes/", "/tmp/double/slashes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string blob = bookmarkDataForPath(c.path);
    EXPECT_EQ(blob.substr(0, 4), "book");
    EXPECT_EQ(resolvingBookmarkData(blob), c.resolved);
    // Bytes after the recorded length are not part of the bookmark.
    EXPECT_EQ(resolvingBookmarkData(blob + std::string(13, '\x7f')), c.resolved);
  }
}

TEST(BookmarkTest, PathIsFoundInLaterTablesAndAmongOtherKeys) {
  Blob b;
  uint32_t volume = b.string("/Volumes/Data");
  uint32_t path = b.path({"Users", "tester", "Music"});
  uint32_t second = b.table({{0x2002, volume}, {0x1004, path}});
  // A first table without the path key, linking to the second; named keys
  // (high bit set) are passed over.
  uint32_t first = b.table({{0x80000000 | volume, volume}, {0x1010, volume}}, second);
  b.setFirstTable(first);
  EXPECT_EQ(resolvingBookmarkData(b.finish()), "/Users/tester/Music");
}

TEST(BookmarkTest, UnreadableBookmarksGiveNoPath) {
  const std::string good = bookmarkDataForPath("/a/b");
  ASSERT_EQ(resolvingBookmarkData(good), "/a/b");
  auto with = [&](size_t at, uint32_t value) {
    std::string bytes = good;
    for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
  };
  // Layout of `good`: header 0..47, first-table offset at 48, "a" at 52,
  // "b" at 64, the path array at 76, the table at 92.
  struct Case {
    const char* name;
    std::string bytes;
  };
  std::vector<Case> cases = {
      {"another magic", "alis" + good.substr(4)},
      {"header length too small", with(12, 8)},
      {"header length beyond total", with(12, 0xFFFFFFF0)},
      {"no table", with(48, 0)},
      {"table offset beyond the blob", with(48, 0x7FFFFFFF)},
      {"table offset that wraps", with(48, 0xFFFFFFFF)},
      {"table magic wrong", with(92 + 4, 0x12345678)},
      {"table longer than the blob", with(92, 0x1000)},
      {"entry count beyond the table", with(92 + 16, 0x40000000)},
      {"path item that is a string", with(92 + 24, 4)},
      {"path item offset beyond the blob", with(92 + 24, 0xFFFFFF00)},
      {"array length not a multiple of 4", with(76, 6)},
      {"component offset beyond the blob", with(76 + 8, 0x00FFFFFF)},
      {"component that is an array", with(76 + 8, 28)},
      {"component type number", with(52 + 4, 0x0303)},
      {"component length beyond the blob", with(52, 0x7FFFFFFF)},
  };
  {
    Blob b;
    uint32_t t = b.table({{0x1010, 0}});
    b.setFirstTable(t);
    b.setU32(Blob::kHeader + t + 12, t);  // the table links to itself
    cases.push_back({"tables that loop", b.finish()});
  }
  for (const std::string& name : {std::string(), std::string("x/y"), std::string("n\0ul", 4)}) {
    Blob b;
    b.setFirstTable(b.table({{0x1004, b.path({"ok", name})}}));
    cases.push_back({"empty component, or one holding a slash or NUL", b.finish()});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(resolvingBookmarkData(c.bytes), std::nullopt);
  }
  for (size_t n = 0; n < good.size(); ++n) {
    EXPECT_EQ(resolvingBookmarkData(good.substr(0, n)), std::nullopt) << n;
  }
}

}  // namespace
}  // namespace orvexa
