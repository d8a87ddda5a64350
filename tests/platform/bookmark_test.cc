#include "orvexa/platform/bookmark.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

namespace orvexa {
namespace {

// Four little-endian bytes, as every number in the format.
std::string le(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

// bookmarkDataForPath("/a/b") with `patch` written at `at`. Its layout: header
// 0..47, first-table offset at 48, "a" at 52, "b" at 64, the path array at 76,
// the table at 92; offsets in the blob count from the header's end (48).
std::string patched(size_t at, const std::string& patch, std::string bytes = {}) {
  if (bytes.empty()) bytes = bookmarkDataForPath("/a/b");
  return bytes.replace(at, patch.size(), patch);
}

TEST(BookmarkTest, RecordedPathsResolveWhereverTheirTableIsAndUnreadableOnesGiveNone) {
  for (const std::string path :
       {"/", "/Volumes/USB Disk/Fotos/Grüße ✓.jpg", "/tmp//double///slashes/"}) {
    const std::string blob = bookmarkDataForPath(path);
    const std::string resolved = path.starts_with("/tmp") ? "/tmp/double/slashes" : path;
    EXPECT_EQ(resolvingBookmarkData(blob), resolved);
    // Bytes after the recorded length are not part of the bookmark.
    EXPECT_EQ(resolvingBookmarkData(blob + std::string(13, '\x7f')), resolved);
  }

  // A first table without the path key (a named key that reads as the path key
  // but for its high bit is passed over) links to the original table, where
  // the path is found.
  std::string linked = bookmarkDataForPath("/a/b");
  const auto first = static_cast<uint32_t>(linked.size() - 48);
  linked += le(36) + le(0xFFFFFFFE) + le(1) + le(92 - 48) + le(2) + le(0x80001004) + le(4) + le(0) +
            le(0x1010) + le(4) + le(0);
  linked = patched(48, le(first), patched(4, le(static_cast<uint32_t>(linked.size())), linked));
  EXPECT_EQ(resolvingBookmarkData(linked), "/a/b");

  const std::string good = bookmarkDataForPath("/a/b");
  const std::tuple<const char*, std::string> cases[] = {
      {"another magic", patched(0, "alis")},
      {"header length too small", patched(12, le(8))},
      {"header length beyond total", patched(12, le(0xFFFFFFF0))},
      {"no table", patched(48, le(0))},
      {"table offset beyond the blob", patched(48, le(0x7FFFFFFF))},
      {"table offset that wraps", patched(48, le(0xFFFFFFFF))},
      {"table magic wrong", patched(92 + 4, le(0x12345678))},
      {"table longer than the blob", patched(92, le(0x1000))},
      {"entry count beyond the table", patched(92 + 16, le(0x40000000))},
      {"tables that loop", patched(92 + 12, le(92 - 48) + le(1) + le(0x1010))},  // no path key
      {"path item that is a string", patched(92 + 24, le(4))},
      {"path item offset beyond the blob", patched(92 + 24, le(0xFFFFFF00))},
      {"array length not a multiple of 4", patched(76, le(6))},
      {"component offset beyond the blob", patched(76 + 8, le(0x00FFFFFF))},
      {"component that is an array", patched(76 + 8, le(28))},
      {"component type number", patched(52 + 4, le(0x0303))},
      {"component length beyond the blob", patched(52, le(0x7FFFFFFF))},
      {"empty component", patched(64, le(0))},
      {"component holding a slash", patched(72, "/")},
      {"component holding NUL", patched(72, std::string(1, '\0'))},
  };
  for (const auto& [name, bytes] : cases)
    EXPECT_EQ(resolvingBookmarkData(bytes), std::nullopt) << name;
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_EQ(resolvingBookmarkData(good.substr(0, n)), std::nullopt) << n;
}

}  // namespace
}  // namespace orvexa
