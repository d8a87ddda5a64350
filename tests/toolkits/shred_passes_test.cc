#include "orvexa/toolkits/shred_passes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "support/run_as.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::readFile;
using testing::TempDir;

// The block writer (whole blocks, then the rest) leaves each pass's pattern
// over the whole file; the one-buffer writer is seen through shredFile below.
TEST(ShredPassesTest, BlockWriterWritesEachPatternOverTheWholeFile) {
  TempDir dir;
  const std::string path = dir.writeFile("odd.bin", std::string(600, 'x'));
  ShredFileService shredder(Url::fromPath(path, false));
  std::string error;
  ShredReport report;
  ASSERT_TRUE(shredder.bigFileWriteData(shredder.url(), 0xFF, error, report, 600, false));
  EXPECT_EQ(readFile(path), std::string(600, '\xFF'));
  ASSERT_TRUE(shredder.bigFileWriteData(shredder.url(), 0, error, report, 600, true));
  std::string content = readFile(path);
  ASSERT_EQ(content.size(), 600u);
  for (char c : content) EXPECT_LE(static_cast<unsigned char>(c), 254);
  ASSERT_TRUE(shredder.bigFileWriteData(shredder.url(), 0x00, error, report, 600, false));
  EXPECT_EQ(readFile(path), std::string(600, '\0'));
  EXPECT_TRUE(shredder.verificationData(shredder.url(), 0, error, report));
  EXPECT_EQ(error, "");
  EXPECT_TRUE(report.empty());
}

TEST(ShredPassesTest, ShredFileReportsTrueOrFalseWithTheErrorText) {
  TempDir dir;
  const std::string empty = dir.writeFile("empty.bin", "");
  const std::string folder = dir.makeDir("folder");
  const struct {
    const char* name;
    std::string path;
    const char* key;
    const char* text;
  } cases[] = {
      {"empty file", empty, "FALSE", "size error!"},
      {"missing file", dir / "missing", "FALSE", "stat 2"},
      {"a folder", folder, "FALSE", "fopen 21"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ShredReport report = ShredFileService(Url::fromPath(c.path, false)).shredFile();
    ASSERT_EQ(report.size(), 1u);
    ASSERT_EQ(report.count(c.key), 1u);
    EXPECT_EQ(report[c.key], c.text);
  }
}

// The file as each pass of shredFile leaves it, through the pass seam.
TEST(ShredPassesTest, ShredFileRunsTheThreePassesInOrderAndVerifies) {
  TempDir dir;
  const std::string path = dir.writeFile("ten.bin", "0123456789");
  ShredFileService shredder(Url::fromPath(path, false));
  std::vector<std::string> seen;
  std::vector<int> passes;
  std::vector<int64_t> writes;
  shredder.setPassObserver([&](int pass, int64_t count) {
    passes.push_back(pass);
    writes.push_back(count);
    seen.push_back(readFile(path));
  });
  ShredReport report = shredder.shredFile();
  EXPECT_EQ(report, (ShredReport{{"TRUE", ""}}));
  ASSERT_EQ(passes, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(writes, (std::vector<int64_t>{1, 1, 1})) << "one buffer per pass";
  EXPECT_EQ(seen[0], std::string(10, '\xFF'));
  ASSERT_EQ(seen[1].size(), 10u);
  for (char c : seen[1]) EXPECT_LE(static_cast<unsigned char>(c), 254);
  EXPECT_NE(seen[1], std::string(10, '\xFF'));
  EXPECT_EQ(seen[2], std::string(10, '\0'));
  EXPECT_EQ(readFile(path), std::string(10, '\0'));
}

// 25 MiB is where the block writer starts (a writer chosen by "more than"
// would write this file with one buffer). The file is sparse to begin with;
// the passes fill it.
TEST(ShredPassesTest, AFileOfExactlyTwentyFiveMebibytesTakesTheBlockWriter) {
  TempDir dir;
  const std::string path = dir.writeFile("big.bin", "");
  std::filesystem::resize_file(path, 26214400);
  ShredFileService shredder(Url::fromPath(path, false));
  std::vector<int64_t> writes;
  shredder.setPassObserver([&](int, int64_t count) { writes.push_back(count); });
  EXPECT_EQ(shredder.shredFile(), (ShredReport{{"TRUE", ""}}));
  // 102400 blocks of 256 bytes and no single rest byte, in each pass.
  EXPECT_EQ(writes, (std::vector<int64_t>{102400, 102400, 102400}));
  EXPECT_EQ(std::filesystem::file_size(path), 26214400u);
}

// A file the user may not write: the first pass fails, no other runs.
TEST(ShredPassesTest, AFailedPassStopsTheRestAndKeepsItsText) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to run as another user";
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const std::string path = dir.writeFile("theirs.bin", "secret");
  ::chmod(path.c_str(), 0644);
  std::optional<std::string> result =
      testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, [&] {
        ShredFileService shredder(Url::fromPath(path, false));
        int passes = 0;
        shredder.setPassObserver([&](int, int64_t) { ++passes; });
        ShredReport report = shredder.shredFile();
        return std::to_string(passes) + "|" + report.begin()->first + "|" + report.begin()->second;
      });
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, "0|FALSE|fopen 13");
  EXPECT_EQ(readFile(path), "secret");
}

TEST(ShredPassesTest, VerificationFindsAByteThatIsNotZero) {
  TempDir dir;
  const std::string path = dir.writeFile("f", std::string("\0\0\x01\0", 4));
  ShredFileService shredder(Url::fromPath(path, false));
  std::string error = "before;";
  ShredReport report;
  EXPECT_FALSE(shredder.verificationData(shredder.url(), 0, error, report));
  EXPECT_EQ(error, "before;Verification Data Fail!");
  EXPECT_EQ(report["FALSE"], "before;Verification Data Fail!");

  std::string missingError;
  ShredReport missingReport;
  EXPECT_FALSE(shredder.verificationData(Url::fromPath(dir / "gone", false), 0, missingError,
                                         missingReport));
  EXPECT_EQ(missingError, "fopen r 2");
}

}  // namespace
}  // namespace orvexa
