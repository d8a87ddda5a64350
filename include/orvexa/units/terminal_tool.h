// The process runner: the only way the library runs outside programs. A tool
// is started at an absolute path with a fixed argument list (argv[0] is the
// launch path); its standard output is collected through a pipe and returned
// as UTF-8 text. Standard error, standard input, environment and working
// folder are the host's; the tool starts with default signal handling and an
// empty signal mask whatever the host has set. The exit status is never
// examined.
//
// A launch path that is missing or not executable produces no output (""),
// and one log line naming the tool; it never throws.
//
// Budgets: every run is bounded by TerminalLimits (by default 30 s and
// 16 MiB of output). A tool that runs longer, or prints more, is killed
// (SIGKILL); the run returns the output collected so far (at most the output
// limit, an incomplete UTF-8 sequence at the cut dropped) and logs one line
// "Run Terminal Cut:<launch path> <why>". A descendant that outlives the tool
// is not waited for.
//
// Thread-safety: every operation may be called from any thread; the blocking
// forms block only their caller.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "orvexa/units/serial_queue.h"

namespace orvexa {

struct TerminalLimits {
  std::chrono::milliseconds time{30'000};
  size_t outputBytes = size_t{16} << 20;
};

class TerminalUtils {
 public:
  // The limits of runs started from now on (process-wide; any thread).
  // Meant for tests and for hosts that know their tools better.
  static void setLimits(TerminalLimits limits);
  static TerminalLimits limits();

  // Runs the tool, reading its output while it runs (any size), and returns
  // when it has exited and its output has ended: the output decoded as UTF-8
  // (unchanged, trailing newline included), or "Error" when the bytes are not
  // valid UTF-8.
  static std::string runTerminal(const std::string& launchPath,
                                 const std::vector<std::string>& arguments);

  // Runs the tool and returns when it has exited. Every piece of work that
  // touches the collected output or calls `finish` is handed to
  // `thread.runDeferred` (errors from the queue are ignored: the piece is then
  // skipped), so `finish` runs on `thread`, exactly once, shortly before or
  // after this returns: with the whole output, or with "" when it is not
  // valid UTF-8 or the tool could not be launched. The output still in the
  // pipe when the tool exits is collected before `finish`.
  static void realTimeRunTerminal(const std::string& launchPath,
                                  const std::vector<std::string>& arguments,
                                  SerialGCDService& thread,
                                  std::function<void(std::string)> finish);

  TerminalUtils() = delete;
};

// The runner on behalf of one feature: realTimeRunTerminal interrupts the tool
// once the feature's scan is suspended (ScanStatusTable entry of featureIndex).
// Not thread-safe as an object (featureIndex); runs on one instance do not
// share state.
class TerminalUtilsClass {
 public:
  explicit TerminalUtilsClass(int64_t featureIndex) : featureIndex_(featureIndex) {}

  int64_t featureIndex() const { return featureIndex_; }
  void setFeatureIndex(int64_t featureIndex) { featureIndex_ = featureIndex; }

  // As TerminalUtils::runTerminal, plus: once the feature's scan is
  // suspended the tool is interrupted (SIGINT) and, if still running two
  // seconds later, killed; what it printed so far is returned.
  std::string runTerminal(const std::string& launchPath,
                          const std::vector<std::string>& arguments) const;

  // As TerminalUtils::realTimeRunTerminal, plus: each time output arrives,
  // the piece on `thread` looks at the feature's scan state (no entry counts
  // as start). The first time it finds `suspend`, it sends the tool one
  // interrupt (SIGINT), calls finish("") and marks the run interrupted; the
  // end of an interrupted run calls nothing. So `finish` is still called
  // exactly once. A tool that prints nothing is interrupted all the same
  // (within 200 ms), and killed if it still runs two seconds later; finish
  // then gets "".
  void realTimeRunTerminal(const std::string& launchPath, const std::vector<std::string>& arguments,
                           SerialGCDService& thread, std::function<void(std::string)> finish) const;

 private:
  int64_t featureIndex_;
};

}  // namespace orvexa
