// Runs the built orvexa program (or any command) and collects its output.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace orvexa::testing {

struct ProgramResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// The built command-line program.
std::string orvexaProgram();

// Runs `argv` (argv[0] is the program path) with standard input from
// /dev/null and waits for it. The orvexa program (argv[0], or the program
// a wrapper such as timeout(1) runs) gets "--layout macos" unless `argv`
// names a layout.
ProgramResult runProgram(const std::vector<std::string>& argv);
// The same, calling `whileRunning` with the program's process id once it
// has started (to signal it, say), before waiting for it.
ProgramResult runProgram(const std::vector<std::string>& argv,
                         const std::function<void(pid_t)>& whileRunning);

// Runs `/bin/sh -c script` and returns its standard output.
std::string shellOutput(const std::string& script);

}  // namespace orvexa::testing
