// Runs the built orvexa program (or any command) and collects its output.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

extern char** environ;

namespace orvexa::testing {

struct ProgramResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// The built command-line program.
inline std::string orvexaProgram() { return std::string(ORVEXA_BINARY_DIR) + "/bin/orvexa"; }

// Runs `argv` (argv[0] is the program path) with standard input from
// /dev/null and waits for it. The orvexa program (argv[0], or the program
// a wrapper such as timeout(1) runs) gets "--layout macos" unless `argv`
// names a layout. `whileRunning`, when given, is called with the program's
// process id once it has started (to signal it, say), before waiting for it.
inline ProgramResult runProgram(const std::vector<std::string>& argv,
                                const std::function<void(pid_t)>& whileRunning = {}) {
  ProgramResult result;
  TempDir dir;
  const std::string outputs[] = {dir / "out", dir / "err"};  // standard output and error
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  for (int fd : {1, 2}) {
    posix_spawn_file_actions_addopen(&actions, fd, outputs[fd - 1].c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  std::vector<std::string> all = argv;
  auto program = std::find(all.begin(), all.end(), orvexaProgram());
  auto isLayout = [](const std::string& a) { return a.starts_with("--layout"); };
  if (program != all.end() && std::none_of(all.begin(), all.end(), isLayout)) {
    all.insert(program + 1, {"--layout", "macos"});
  }
  std::vector<char*> args;
  for (const std::string& a : all) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return result;
  if (whileRunning) whileRunning(pid);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readFile(outputs[0]);
  result.err = readFile(outputs[1]);
  return result;
}

// Runs `/bin/sh -c script` and returns its standard output.
inline std::string shellOutput(const std::string& script) {
  return runProgram({"/bin/sh", "-c", script}).out;
}

}  // namespace orvexa::testing
