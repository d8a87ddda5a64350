#include "scan/duplicate/content_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scan/duplicate/duplicate_test_util.h"
#include "scan/duplicate/folder_entries.h"
#include "support/temp_dir.h"

namespace orvexa::duplicate_internal {
namespace {

using orvexa::testing::randomBytes;

TEST(ContentReaderTest, ComparesEachFileWithTheReference) {
  orvexa::testing::TempDir dir;
  constexpr int64_t kSize = 300000;
  const std::string bytes = randomBytes(kSize, 1);
  const std::string reference = dir.writeFile("ref", bytes);
  auto variant = [&](size_t at) {
    std::string b = bytes;
    b[at] = static_cast<char>(b[at] ^ 0x80);
    return b;
  };
  ASSERT_EQ(::symlink(reference.c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  // A pipe must not block.
  const std::pair<std::string, CompareResult> cases[] = {
      {dir.writeFile("copy", bytes), CompareResult::equal},
      {dir.writeFile("first", variant(0)), CompareResult::different},
      {dir.writeFile("second-chunk", variant(4096)), CompareResult::different},
      {dir.writeFile("last", variant(kSize - 1)), CompareResult::different},
      {dir.writeFile("longer", bytes + "x"), CompareResult::failed},
      {dir / "missing", CompareResult::failed},
      {dir / "link", CompareResult::failed},
      {dir / "fifo", CompareResult::failed},
  };
  std::vector<std::string> others;
  for (const auto& c : cases) others.push_back(c.first);
  ReadBuffer buffer;
  std::vector<CompareResult> results = compareWithReference(reference, others, kSize, buffer);
  ASSERT_EQ(results.size(), std::size(cases));
  // Read side by side, the same files decide the same way against the first.
  std::vector<std::string> together{reference};
  together.insert(together.end(), others.begin(), others.end());
  const SideBySide side = readSideBySide(together, kSize, buffer);
  for (size_t i = 0; i < results.size(); ++i) {
    const CompareResult expected = cases[i].second;
    EXPECT_EQ(std::tuple(results[i], side.withFirst[i + 1], side.digests[i + 1] == side.digests[0]),
              std::tuple(expected, expected, expected == CompareResult::equal))
        << others[i];
  }
  EXPECT_FALSE(xxh3ContentDigest(reference, kSize - 1, buffer));

  // An unreadable reference decides nothing.
  EXPECT_EQ(compareWithReference(dir / "missing", {reference, reference}, kSize, buffer),
            std::vector<CompareResult>(2, CompareResult::failed));
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
  std::vector<CompareResult> expected(others.size(), CompareResult::equal);
  expected[kMaxOpenFiles + 2] = CompareResult::different;
  EXPECT_EQ(compareWithReference(reference, others, 5000, buffer), expected);
}

TEST(ContentReaderTest, PathComponentsAndNesting) {
  const std::pair<const char*, size_t> counts[] = {
      {"/", 1}, {"/Users", 2}, {"/Users/x/", 3}, {"//Users//x", 3}, {"", 0}, {"a/b", 2}};
  for (const auto& [path, count] : counts) EXPECT_EQ(pathComponentCount(path), count) << path;
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"/a/b", "/a", true}, {"/a", "/a", true},    {"/ab", "/a", false},
      {"/a/b", "/", true},  {"/a", "/a/b", false}, {"/a/b", "", false}};
  for (const auto& [path, folder, below] : cases)
    EXPECT_EQ(isSameOrBelow(path, folder), below) << path << " in " << folder;
}

}  // namespace
}  // namespace orvexa::duplicate_internal
