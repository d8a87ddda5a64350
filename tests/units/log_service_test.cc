#include "orvexa/units/log_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using Level = LogService::LogLevel;

const char kDate[] = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})";

class LogServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { Identity::shared().setBundleIdentifier("com.orvexa.tests"); }

  std::string expectedPath(const std::string& bundleId) const {
    std::string support = Paths::shared().userApplicationSupport();
    if (bundleId.empty()) return support + "/FrameworkLog.txt";
    return support + "/" + bundleId + "/" + bundleId + "FrameworkLog.txt";
  }

  testing::Sandbox sb_;  // resets the paths table and identity at the end
};

TEST_F(LogServiceTest, ConstructionCreatesFolderAndEmptyFile) {
  for (const char* bundleId : {"com.orvexa.tests", ""}) {
    SCOPED_TRACE(bundleId);
    Identity::shared().setBundleIdentifier(bundleId);
    LogService log;
    const std::string path = expectedPath(bundleId);
    EXPECT_EQ(log.logPath(), path);
    EXPECT_TRUE(fs::is_regular_file(path));
    EXPECT_EQ(fs::file_size(path), 0u);
    EXPECT_EQ(path.rfind(sb_.home(), 0), 0u) << "under the paths table's home";
  }
}

// A dictionary line starts its entries on the following lines; an empty one
// is the marker and a line feed.
TEST_F(LogServiceTest, LinesAppearInSubmissionOrderWithTheirLevelAndAreAppended) {
  {
    LogService first;
    first.log(Level::Debug, "first line");
    first.logDict(Level::Info, {});
  }  // the destructor writes what was submitted
  LogService second;
  second.logDict(Level::Debug, {{"path", "/tmp/a b"}, {"", "empty key"}});
  second.flush();
  const std::string date = std::string("<") + kDate;
  const std::regex expected(date + ":Debug>:first line\n" + date + ":Info>:\n" + date +
                            ":Debug>:\npath:/tmp/a b\n:empty key\n");
  const std::string content = readFile(second.logPath());
  EXPECT_TRUE(std::regex_match(content, expected)) << content;
}

TEST_F(LogServiceTest, LinesAreDroppedSilentlyOnceTheFileIsDeleted) {
  LogService log;
  log.log(Level::Info, "before");
  log.flush();
  ASSERT_TRUE(fs::remove(log.logPath()));
  log.log(Level::Info, "after");
  log.logDict(Level::Debug, {{"k", "v"}});
  log.flush();
  EXPECT_FALSE(fs::exists(log.logPath())) << "the file is not re-created";
  EXPECT_TRUE(fs::is_directory(fs::path(log.logPath()).parent_path()));
}

TEST(LogServiceConcurrencyTest, LinesFromManyThreadsStayWholeAndInOrderPerThread) {
  testing::Sandbox sb;
  Identity::shared().setBundleIdentifier("com.orvexa.threads");
  {
    LogService log;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&log, t] {
        for (int i = 0; i < 200; ++i) {
          log.log(Level::Info, "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                                   std::string(100, 'x'));
        }
      });
    }
    for (auto& th : threads) th.join();
    log.flush();

    const std::string content = readFile(log.logPath());
    const std::regex line(std::string("<") + kDate + ":Info>:thread (\\d) line (\\d+) x{100}");
    std::vector<int> next(4, 0);
    size_t lines = 0;
    size_t start = 0;
    while (start < content.size()) {
      size_t end = content.find('\n', start);
      ASSERT_NE(end, std::string::npos);
      std::smatch m;
      const std::string text = content.substr(start, end - start);
      ASSERT_TRUE(std::regex_match(text, m, line)) << text;
      const int t = std::stoi(m[1]);
      EXPECT_EQ(std::stoi(m[2]), next[static_cast<size_t>(t)]++);
      ++lines;
      start = end + 1;
    }
    EXPECT_EQ(lines, 800u);
  }
}

TEST(LogServiceFormatTest, LevelsFromText) {
  EXPECT_EQ(LogService::logLevelFrom("Debug"), Level::Debug);
  EXPECT_EQ(LogService::logLevelFrom("Info"), Level::Info);
  for (const char* other : {"info", "DEBUG", "", "Warning", "Info "}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(LogService::logLevelFrom(other), std::nullopt);
  }
}

}  // namespace
}  // namespace orvexa
