#include "scan/duplicate/content_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "orvexa/units/swift_file_hash.h"
#include "scan/duplicate/duplicate_test_util.h"
#include "scan/duplicate/folder_entries.h"
#include "support/temp_dir.h"

namespace orvexa::duplicate_internal {
namespace {

using orvexa::testing::randomBytes;

// Sets SwiftFileHashUnit's scanState for a test and restores `start`.
class ScanStateGuard {
 public:
  explicit ScanStateGuard(ScanState state) {
    SwiftFileHashUnit::shard().scanState = static_cast<int>(state);
  }
  ~ScanStateGuard() { SwiftFileHashUnit::shard().scanState = static_cast<int>(ScanState::start); }
};

TEST(ContentReaderTest, ComparesEachFileWithTheReference) {
  orvexa::testing::TempDir dir;
  const std::string bytes = randomBytes(300000, 1);
  const std::string reference = dir.writeFile("ref", bytes);
  auto variant = [&](size_t at) {
    std::string b = bytes;
    b[at] = static_cast<char>(b[at] ^ 0x80);
    return b;
  };
  ASSERT_EQ(::symlink(reference.c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::string path;
    CompareResult expected;
  };
  const Case cases[] = {
      {"copy", dir.writeFile("copy", bytes), CompareResult::equal},
      {"first byte differs", dir.writeFile("first", variant(0)), CompareResult::different},
      {"byte 4096 differs", dir.writeFile("second-chunk", variant(4096)), CompareResult::different},
      {"last byte differs", dir.writeFile("last", variant(bytes.size() - 1)),
       CompareResult::different},
      {"other size", dir.writeFile("longer", bytes + "x"), CompareResult::failed},
      {"missing", dir / "missing", CompareResult::failed},
      {"symbolic link to the reference", dir / "link", CompareResult::failed},
      {"pipe (must not block)", dir / "fifo", CompareResult::failed},
      {"second copy", dir.writeFile("copy2", bytes), CompareResult::equal},
  };
  std::vector<std::string> others;
  for (const Case& c : cases) others.push_back(c.path);
  ReadBuffer buffer;
  std::vector<CompareResult> results =
      compareWithReference(reference, others, static_cast<int64_t>(bytes.size()), buffer);
  ASSERT_EQ(results.size(), std::size(cases));
  for (size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(results[i], cases[i].expected);
  }

  // An unreadable reference decides nothing.
  for (CompareResult r : compareWithReference(dir / "missing", {reference},
                                              static_cast<int64_t>(bytes.size()), buffer)) {
    EXPECT_EQ(r, CompareResult::failed);
  }
}

TEST(ContentReaderTest, ComparesMoreFilesThanItKeepsOpenInBatches) {
  orvexa::testing::TempDir dir;
  const std::string bytes = randomBytes(5000, 2);
  const std::string reference = dir.writeFile("ref", bytes);
  std::vector<std::string> others;
  for (size_t i = 0; i < kMaxOpenFiles + 6; ++i) {
    std::string b = bytes;
    if (i == kMaxOpenFiles + 2) b[4999] = 'x';  // one different file in the second batch
    others.push_back(dir.writeFile("c" + std::to_string(i), b));
  }
  ReadBuffer buffer;
  std::vector<CompareResult> results = compareWithReference(reference, others, 5000, buffer);
  for (size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(results[i], i == kMaxOpenFiles + 2 ? CompareResult::different : CompareResult::equal);
  }
}

TEST(ContentReaderTest, DigestsAreOfTheWholeContentAndOnlyOfTheSizeSeen) {
  orvexa::testing::TempDir dir;
  const std::string bytes = randomBytes(400000, 3);
  std::string late = bytes;
  late[399999] = static_cast<char>(late[399999] ^ 1);
  const std::string a = dir.writeFile("a", bytes);
  const std::string b = dir.writeFile("b", bytes);
  const std::string c = dir.writeFile("c", late);
  const std::string empty = dir.writeFile("empty", "");
  ReadBuffer buffer;
  auto digestOf = [&](const std::string& path, int64_t size) {
    return xxh3ContentDigest(path, size, buffer);
  };
  ASSERT_TRUE(digestOf(a, 400000));
  EXPECT_EQ(digestOf(a, 400000), digestOf(b, 400000));
  EXPECT_NE(digestOf(a, 400000), digestOf(c, 400000));
  EXPECT_EQ(prefixDigest(a, 400000, buffer), prefixDigest(c, 400000, buffer));
  EXPECT_FALSE(digestOf(a, 399999));  // changed since the walk
  EXPECT_FALSE(digestOf(dir / "missing", 1));
  ASSERT_TRUE(digestOf(empty, 0));
  EXPECT_NE(digestOf(empty, 0), digestOf(a, 400000));
  EXPECT_EQ(digestText(ContentDigest{0x0102030405060708ULL, 0xa0b0c0d0e0f00010ULL}),
            "0102030405060708a0b0c0d0e0f00010");

  // Once the scan is stopped, nothing is read.
  ScanStateGuard stopped(ScanState::suspend);
  EXPECT_FALSE(digestOf(a, 400000));
  EXPECT_FALSE(prefixDigest(a, 400000, buffer));
  EXPECT_EQ(compareWithReference(a, {b}, 400000, buffer).front(), CompareResult::failed);
}

TEST(ContentReaderTest, PathComponentsAndNesting) {
  const std::pair<const char*, size_t> counts[] = {
      {"/", 1}, {"/Users", 2}, {"/Users/x/", 3}, {"//Users//x", 3}, {"", 0}, {"a/b", 2}};
  for (const auto& [path, count] : counts) {
    SCOPED_TRACE(path);
    EXPECT_EQ(pathComponentCount(path), count);
  }
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"/a/b", "/a", true}, {"/a", "/a", true},    {"/ab", "/a", false},
      {"/a/b", "/", true},  {"/a", "/a/b", false}, {"/a/b", "", false}};
  for (const auto& [path, folder, below] : cases) {
    SCOPED_TRACE(std::string(path) + " in " + folder);
    EXPECT_EQ(isSameOrBelow(path, folder), below);
  }
}

}  // namespace
}  // namespace orvexa::duplicate_internal
