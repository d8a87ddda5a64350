#include "orvexa/units/log_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "support/sandbox.h"

namespace orvexa {
namespace {

using testing::readFile;
using Level = LogService::LogLevel;

const std::string kDate = R"(<\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:)";

// The file is made (empty) at construction, under the paths table's home;
// lines and dictionaries follow in submission order with their level,
// appended to what an earlier instance wrote; once it is deleted, lines are
// dropped and the file is not made again.
TEST(LogServiceConcurrencyTest, LinesKeepTheirLayoutUntilDeletedAndStayWholeAcrossThreads) {
  testing::Sandbox sb;  // resets the paths table and identity at the end
  Identity::shared().setBundleIdentifier("com.orvexa.tests");
  const std::string support = Paths::shared().userApplicationSupport();
  {
    LogService first;
    EXPECT_EQ(first.logPath(), support + "/com.orvexa.tests/com.orvexa.testsFrameworkLog.txt");
    EXPECT_EQ(std::filesystem::file_size(first.logPath()), 0u);
    first.log(Level::Debug, "first line");
    first.logDict(Level::Info, {});
  }  // the destructor writes what was submitted
  LogService second;
  second.logDict(Level::Debug, {{"path", "/tmp/a b"}, {"size", "12"}, {"", "empty key"}});
  second.log(Level::Info, "two");
  second.flush();
  const std::string content = readFile(second.logPath());
  EXPECT_TRUE(std::regex_match(
      content, std::regex(kDate + "Debug>:first line\n" + kDate + "Info>:\n" + kDate +
                          "Debug>:\npath:/tmp/a b\nsize:12\n:empty key\n" + kDate + "Info>:two\n")))
      << content;
  ASSERT_TRUE(std::filesystem::remove(second.logPath()));
  second.log(Level::Info, "after");
  second.flush();
  EXPECT_FALSE(std::filesystem::exists(second.logPath()));

  Identity::shared().setBundleIdentifier("");
  EXPECT_EQ(LogService().logPath(), support + "/FrameworkLog.txt");
  // Level names are matched exactly.
  EXPECT_EQ(std::vector({LogService::logLevelFrom("Debug"), LogService::logLevelFrom("Info"),
                         LogService::logLevelFrom("info"), LogService::logLevelFrom("Info ")}),
            std::vector<std::optional<Level>>({Level::Debug, Level::Info, {}, {}}));

  // Lines from many threads stay whole and in order per thread.
  Identity::shared().setBundleIdentifier("com.orvexa.threads");
  LogService log;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 200; ++i)
        log.log(Level::Info, "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                                 std::string(100, 'x'));
    });
  }
  for (auto& th : threads) th.join();
  log.flush();
  std::istringstream lines(readFile(log.logPath()));
  const std::regex line(kDate + "Info>:thread (\\d) line (\\d+) x{100}");
  std::vector<int> next(4, 0);
  for (std::string text; std::getline(lines, text);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    EXPECT_EQ(std::stoi(m[2]), next[std::stoul(m[1])]++);
  }
  EXPECT_EQ(next, std::vector<int>(4, 200));
}

}  // namespace
}  // namespace orvexa
