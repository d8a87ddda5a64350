#include "orvexa/toolkits/shred_passes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::readFile;
using testing::TempDir;

bool allBytes(const std::string& content, unsigned char byte) {
  for (char c : content) {
    if (static_cast<unsigned char>(c) != byte) return false;
  }
  return true;
}

TEST(ShredPassesTest, EachPassWritesItsPatternOverTheWholeFile) {
  TempDir dir;
  const std::string path = dir.writeFile("ten.bin", "0123456789");
  ShredFileService shredder(Url::fromPath(path, false));
  const struct {
    const char* name;
    bool big;
    int64_t size;
  } writers[] = {{"one buffer", false, 10}, {"blocks and rest", true, 600}};
  for (const auto& w : writers) {
    SCOPED_TRACE(w.name);
    dir.writeFile("ten.bin", std::string(static_cast<size_t>(w.size), 'x'));
    std::string error;
    ShredReport report;
    auto pass = [&](int pattern, bool random) {
      return w.big
                 ? shredder.bigFileWriteData(shredder.url(), pattern, error, report, w.size, random)
                 : shredder.writeData(shredder.url(), pattern, error, report, w.size, random);
    };
    ASSERT_TRUE(pass(0xFF, false));
    std::string content = readFile(path);
    EXPECT_EQ(content.size(), static_cast<size_t>(w.size));
    EXPECT_TRUE(allBytes(content, 0xFF));

    ASSERT_TRUE(pass(0, true));
    content = readFile(path);
    EXPECT_EQ(content.size(), static_cast<size_t>(w.size));
    for (char c : content) EXPECT_LE(static_cast<unsigned char>(c), 254);

    ASSERT_TRUE(pass(0x00, false));
    content = readFile(path);
    EXPECT_EQ(content.size(), static_cast<size_t>(w.size));
    EXPECT_TRUE(allBytes(content, 0));
    EXPECT_TRUE(shredder.verificationData(shredder.url(), 0, error, report));
    EXPECT_EQ(error, "");
    EXPECT_TRUE(report.empty());
  }
}

TEST(ShredPassesTest, ShredFileReportsTrueOrFalseWithTheErrorText) {
  TempDir dir;
  const std::string ten = dir.writeFile("ten.bin", "0123456789");
  const std::string empty = dir.writeFile("empty.bin", "");
  const std::string folder = dir.makeDir("folder");
  const struct {
    const char* name;
    std::string path;
    const char* key;
    const char* text;
  } cases[] = {
      {"ten bytes", ten, "TRUE", ""},
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
  // Overwritten, verified, and still there: removing it is the caller's.
  EXPECT_EQ(readFile(ten), std::string(10, '\0'));
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
