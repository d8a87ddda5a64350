#include "orvexa/units/terminal_tool.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <tuple>

#include "orvexa/units/scan_status.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

constexpr int64_t kFeature = 9101;

// Runs the real-time form (per feature, or the static one) and waits for
// everything it handed to the queue; what `finish` received off the queue
// is marked.
Texts realTime(bool perFeature, const std::string& path, const Texts& args) {
  SerialGCDService queue(SerialGCDService::GCDQOS::default_);
  Texts texts;  // touched only on the queue until waitUntilIdle
  auto finish = [&](std::string text) {
    texts.push_back((queue.isCurrent() ? "" : "OFF ") + text);
  };
  if (perFeature) {
    TerminalUtilsClass(kFeature).realTimeRunTerminal(path, args, queue, finish);
  } else {
    TerminalUtils::realTimeRunTerminal(path, args, queue, finish);
  }
  queue.waitUntilIdle();
  return texts;
}

// Both forms (blocking or real time; per feature they differ only once a
// scan is suspended) give the output unchanged ("Error" from the blocking
// form, "" from the other, when it is not UTF-8) and return once the tool
// exits; a tool that cannot be launched gives nothing.
TEST(TerminalToolTest, OutputIsKeptUntilASuspendedScanOrALimitEndsTheTool) {
  ScanStatusTable::erase(kFeature);
  testing::TempDir tmp;
  const std::string notExecutable = tmp.writeFile("not-executable.sh", "#!/bin/sh\necho hi\n");
  ::chmod(notExecutable.c_str(), 0644);
  std::string large;  // 5 MiB of numbered lines: any loss or reordering shows
  for (int i = 0; large.size() < 5 * 1024 * 1024; ++i)
    large += "line " + std::to_string(i) + " of the large output test\n";
  const std::string largeFile = tmp.writeFile("large.txt", large);
  // Rows: name, tool, arguments, output.
  // clang-format off
  const std::tuple<const char*, std::string, Texts, std::string> outputs[] = {
      {"prints nothing", "/bin/true", {}, ""},
      {"arguments as they are", "/usr/bin/printf", {"%s|", "a b", "c*", "$HOME"}, "a b|c*|$HOME|"},
      {"failure status ignored", "/bin/sh", {"-c", "echo out; exit 3"}, "out\n"},
      {"standard error not collected", "/bin/sh", {"-c", "echo err >&2; echo out"}, "out\n"},
      {"a descendant holds the output", "/bin/sh", {"-c", "echo hi; sleep 5 2>/dev/null &"}, "hi\n"},
      {"5 MiB", "/bin/cat", {largeFile}, large},
      {"lone 0xFF", "/usr/bin/printf", {"%s", "ok\xff"}, "Error"},
      {"not executable", notExecutable, {}, ""},
  };
  // clang-format on
  for (const auto& [name, path, args, out] : outputs) {
    SCOPED_TRACE(name);
    const auto start = Clock::now();
    EXPECT_TRUE(TerminalUtils::runTerminal(path, args) == out);
    EXPECT_TRUE(realTime(false, path, args) == Texts{out == "Error" ? "" : out});
    EXPECT_LT(Clock::now() - start, 4s);
  }

  // The state switches 200 ms into the run. A suspended scan interrupts a
  // per-feature run once (finish gets "" at once, nothing at the end); a tool
  // that stays silent and ignores the interrupt is killed.
  const std::string marker = tmp / "interrupts.txt";
  // Prints, then keeps printing; on SIGINT notes it and prints three more ticks.
  const std::string stubborn =
      "left=-1; trap 'echo INT >> \"$0\"; left=3' INT; echo start; i=0; "
      "while [ $i -lt 100 ]; do sleep 0.05; echo tick $i; i=$((i+1)); "
      "[ $left -eq 0 ] && exit 0; [ $left -gt 0 ] && left=$((left-1)); done; echo end";
  const std::string calm = "trap 'echo INT >> \"$0\"' INT; echo a; sleep 0.4; echo b";
  // Rows: the state switched to, whether the run is per feature, script, what
  // finish gets, what the script notes in the marker.
  const std::tuple<ScanState, bool, std::string, Texts, std::string> interrupts[] = {
      {ScanState::suspend, true, stubborn, {""}, "INT\n"},
      {ScanState::suspend, true, "trap '' INT; while :; do sleep 0.1; done", {""}, ""},
      {ScanState::start, true, calm, {"a\nb\n"}, ""},
      {ScanState::suspend, false, calm, {"a\nb\n"}, ""},  // the static form never looks
  };
  for (const auto& [state, perFeature, script, texts, noted] : interrupts) {
    SCOPED_TRACE(script + (perFeature ? "" : " (static)"));
    std::filesystem::remove(marker);
    ScanStatusTable::set(kFeature, ScanState::start);
    std::thread stopper([state] {
      std::this_thread::sleep_for(200ms);
      ScanStatusTable::set(kFeature, state);
    });
    const auto start = Clock::now();
    EXPECT_EQ(realTime(perFeature, "/bin/sh", {"-c", script, marker}), texts);
    EXPECT_LT(Clock::now() - start, 4s) << "the tool ended early";
    stopper.join();
    EXPECT_EQ(testing::readFile(marker), noted);
  }

  const TerminalLimits saved = TerminalUtils::limits();
  TerminalUtils::setLimits({300ms, 4095});
  // Rows: name, script, size of the output kept.
  const std::tuple<const char*, std::string, size_t> limits[] = {
      {"sleeps", "echo hi; exec sleep 30", 3},
      {"floods", "exec yes", 4095},
      {"cut inside a character", "while :; do printf '\xc3\xa9'; done", 4094},
  };
  for (const auto& [name, script, size] : limits) {
    SCOPED_TRACE(name);
    const auto start = Clock::now();
    const std::string out = TerminalUtils::runTerminal("/bin/sh", {"-c", script});
    EXPECT_EQ(realTime(false, "/bin/sh", {"-c", script}), Texts{out});
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_EQ(out.size(), size);
  }
  TerminalUtils::setLimits(saved);
  ScanStatusTable::erase(kFeature);
}

}  // namespace
}  // namespace orvexa
