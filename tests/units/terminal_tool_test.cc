#include "orvexa/units/terminal_tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "orvexa/units/log_service.h"
#include "orvexa/units/scan_status.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::readFile;

constexpr int64_t kFeature = 9101;

// What finish received, and whether it ran on the queue it was given.
struct Finished {
  std::vector<std::string> texts;
  int offQueue = 0;
};

class TerminalToolTest : public ::testing::Test {
 protected:
  void SetUp() override { ScanStatusTable::erase(kFeature); }
  void TearDown() override { ScanStatusTable::erase(kFeature); }

  // Runs the real-time form (no runner: the static one) and waits for
  // everything it handed to the queue.
  Finished realTime(std::optional<TerminalUtilsClass> runner, const std::string& path,
                    const std::vector<std::string>& args) {
    SerialGCDService queue(SerialGCDService::GCDQOS::default_);
    Finished result;  // touched only on the queue until waitUntilIdle
    auto finish = [&](std::string text) {
      if (!queue.isCurrent()) ++result.offQueue;
      result.texts.push_back(std::move(text));
    };
    if (runner) {
      runner->realTimeRunTerminal(path, args, queue, finish);
    } else {
      TerminalUtils::realTimeRunTerminal(path, args, queue, finish);
    }
    queue.waitUntilIdle();
    return result;
  }

  // Makes sure the shared log file exists (an earlier test's folder may be
  // gone) and returns its current size.
  size_t sharedLogOffset() {
    const std::string& path = LogService::shard().logPath();
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
    return testing::logSize();
  }

  static size_t countOf(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
      ++count;
    }
    return count;
  }

  testing::TempDir tmp_;
};

// Every form (blocking or real time, static or per feature) gives the output
// unchanged; a tool that cannot be launched gives nothing and one log line
// naming it per run.
TEST_F(TerminalToolTest, OutputIsReturnedUnchanged) {
  const std::string script = tmp_.writeFile("not-executable.sh", "#!/bin/sh\necho hi\n");
  ::chmod(script.c_str(), 0644);
  struct Case {
    const char* name;
    std::string path;
    std::vector<std::string> args;
    std::string expected;
    std::string blocking;  // what the blocking forms give
    bool logged = false;   // one log line naming the tool per run
  };
  const std::vector<Case> cases = {
      {"prints nothing", "/bin/true", {}, "", ""},
      {"arguments passed as they are",
       "/usr/bin/printf",
       {"%s|", "a b", "c*", "$HOME"},
       "a b|c*|$HOME|",
       "a b|c*|$HOME|"},
      {"multi-byte UTF-8", "/usr/bin/printf", {"%s", "é€😀"}, "é€😀", "é€😀"},
      {"failure status is not distinguished",
       "/bin/sh",
       {"-c", "echo out; exit 3"},
       "out\n",
       "out\n"},
      {"standard error is not collected",
       "/bin/sh",
       {"-c", "echo err >&2; echo out"},
       "out\n",
       "out\n"},
      {"lone 0xFF", "/usr/bin/printf", {"%s", "ok\xff"}, "", "Error"},
      {"truncated sequence at the end", "/usr/bin/printf", {"%s", "abc\xe2\x82"}, "", "Error"},
      {"missing tool", tmp_ / "no-such-tool", {"x"}, "", "", true},
      {"not executable", script, {}, "", "", true},
      {"a folder", tmp_.makeDir("folder-tool"), {}, "", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t offset = sharedLogOffset();
    EXPECT_EQ(TerminalUtils::runTerminal(c.path, c.args), c.blocking);
    EXPECT_EQ(TerminalUtilsClass(kFeature).runTerminal(c.path, c.args), c.blocking);
    Finished f = realTime(std::nullopt, c.path, c.args);
    EXPECT_EQ(f.texts, std::vector<std::string>{c.expected});
    EXPECT_EQ(f.offQueue, 0);
    Finished g = realTime(TerminalUtilsClass(kFeature), c.path, c.args);
    EXPECT_EQ(g.texts, std::vector<std::string>{c.expected}) << "no status entry: runs to the end";
    EXPECT_EQ(countOf(testing::logSince(offset), c.path), c.logged ? 4u : 0u);
  }
}

TEST_F(TerminalToolTest, LargeOutputArrivesWholeAndInOrder) {
  // 5 MiB of numbered lines: any loss, duplication or reordering shows.
  std::string content;
  content.reserve(5 * 1024 * 1024 + 64);
  for (int i = 0; content.size() < 5 * 1024 * 1024; ++i) {
    content += "line " + std::to_string(i) + " of the large output test\n";
  }
  const std::string file = tmp_.writeFile("large.txt", content);

  std::string blocking = TerminalUtils::runTerminal("/bin/cat", {file});
  EXPECT_EQ(blocking.size(), content.size());
  EXPECT_TRUE(blocking == content);

  Finished f = realTime(std::nullopt, "/bin/cat", {file});
  ASSERT_EQ(f.texts.size(), 1u);
  EXPECT_EQ(f.texts[0].size(), content.size());
  EXPECT_TRUE(f.texts[0] == content);
}

TEST_F(TerminalToolTest, ReturnsWhenTheToolExitsEvenIfADescendantHoldsTheOutput) {
  const auto start = std::chrono::steady_clock::now();
  std::string out = TerminalUtils::runTerminal("/bin/sh", {"-c", "echo hi; sleep 2 2>/dev/null &"});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(out, "hi\n");
  EXPECT_LT(elapsed, 1500ms);
}

// Prints, then keeps printing; on SIGINT it notes the signal in the marker
// file and prints three more times before it exits.
const char kStubbornTool[] = R"(#!/bin/sh
marker="$1"
left=-1
trap 'echo INT >> "$marker"; left=3' INT
echo start
i=0
while [ $i -lt 100 ]; do
  sleep 0.05
  echo tick $i
  i=$((i+1))
  if [ $left -eq 0 ]; then exit 0; fi
  if [ $left -gt 0 ]; then left=$((left-1)); fi
done
echo end
)";

TEST_F(TerminalToolTest, SuspendedScanInterruptsTheToolOnce) {
  const std::string tool = tmp_.writeFile("stubborn.sh", kStubbornTool);
  ::chmod(tool.c_str(), 0755);
  const std::string marker = tmp_ / "interrupts.txt";
  ScanStatusTable::set(kFeature, ScanState::start);

  std::thread stopper([] {
    std::this_thread::sleep_for(200ms);
    ScanStatusTable::set(kFeature, ScanState::suspend);
  });
  const auto start = std::chrono::steady_clock::now();
  Finished f = realTime(TerminalUtilsClass(kFeature), tool, {marker});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  stopper.join();

  EXPECT_EQ(f.texts, std::vector<std::string>{""}) << "once, empty, nothing at the end";
  EXPECT_EQ(f.offQueue, 0);
  EXPECT_EQ(readFile(marker), "INT\n") << "exactly one interrupt reached the tool";
  EXPECT_LT(elapsed, 3s) << "the tool ended early";
}

TEST_F(TerminalToolTest, OtherStatesDoNotInterrupt) {
  const std::string marker = tmp_ / "interrupts.txt";
  for (ScanState state : {ScanState::start, ScanState::end}) {
    SCOPED_TRACE(static_cast<int>(state));
    ScanStatusTable::set(kFeature, state);
    Finished f =
        realTime(TerminalUtilsClass(kFeature), "/bin/sh",
                 {"-c", "trap 'echo INT >> \"$0\"' INT; echo a; sleep 0.05; echo b", marker});
    EXPECT_EQ(f.texts, std::vector<std::string>{"a\nb\n"});
  }
  EXPECT_FALSE(fs::exists(marker));
  // The static form never looks at the table.
  ScanStatusTable::set(kFeature, ScanState::suspend);
  EXPECT_EQ(realTime(std::nullopt, "/bin/echo", {"x"}).texts, std::vector<std::string>{"x\n"});
}

TEST_F(TerminalToolTest, ToolsPastTheirLimitsAreKilledAndWhatTheyPrintedKept) {
  const TerminalLimits saved = TerminalUtils::limits();
  TerminalUtils::setLimits({300ms, 4095});
  struct Case {
    const char* name;
    std::string script;
    size_t size;  // of the output kept
    const char* why;
  };
  const std::vector<Case> cases = {
      {"sleeps", "echo hi; exec sleep 30", 3, "ran longer than 300 ms"},
      {"floods", "exec yes", 4095, "output larger than 4095 bytes"},
      {"cut inside a character", "while :; do printf '\xc3\xa9'; done", 4094, "output larger"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t offset = sharedLogOffset();
    const auto start = std::chrono::steady_clock::now();
    const std::string out = TerminalUtils::runTerminal("/bin/sh", {"-c", c.script});
    Finished f = realTime(std::nullopt, "/bin/sh", {"-c", c.script});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(out.size(), c.size);
    EXPECT_EQ(f.texts, std::vector<std::string>{out});
    EXPECT_EQ(countOf(testing::logSince(offset), c.why), 2u);
  }
  TerminalUtils::setLimits(saved);
  // A silent tool is ended by a stop of its scan: interrupted, then killed.
  ScanStatusTable::set(kFeature, ScanState::start);
  std::thread stopper([] {
    std::this_thread::sleep_for(200ms);  // once the trap is set
    ScanStatusTable::set(kFeature, ScanState::suspend);
  });
  const size_t offset = sharedLogOffset();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(realTime(TerminalUtilsClass(kFeature), "/bin/sh",
                     {"-c", "trap '' INT; while :; do sleep 0.1; done"})
                .texts,
            std::vector<std::string>{""});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  stopper.join();
  EXPECT_EQ(countOf(testing::logSince(offset), "stopped with its scan"), 1u);
}

}  // namespace
}  // namespace orvexa
