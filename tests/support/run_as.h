// Running part of a test as another user. Root ignores permission bits, so
// tests of "permission denied" paths run that part in a child process that
// has switched to an unprivileged account.
#pragma once

#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>

#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace orvexa::testing {

inline constexpr uid_t kNobodyUid = 65534;
inline constexpr gid_t kNogroupGid = 65534;

// True when the process may switch users (it runs as root).
inline bool canSwitchUser() { return ::geteuid() == 0; }

// Runs `fn` in a forked child whose user and group are `uid` and `gid` and
// returns the text it produced, or nothing when the child could not switch
// or did not finish normally. `fn` must not use gtest assertions: it reports
// through its text.
inline std::optional<std::string> runAsUser(uid_t uid, gid_t gid,
                                            const std::function<std::string()>& fn) {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  detail::UniqueFd readEnd(fds[0]);
  detail::UniqueFd writeEnd(fds[1]);
  pid_t pid = ::fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(3);
    const std::string text = fn();
    // A blocking write to a pipe is whole unless a signal interrupts it.
    const bool written =
        ::write(writeEnd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::_exit(written ? 0 : 4);  // no exit handlers, no sanitizer reports from the copy of the parent
  }
  writeEnd.reset();
  // Read to the end, until the child closes its side.
  const std::string text = readFile("/proc/self/fd/" + std::to_string(readEnd.get()));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return text;
}

}  // namespace orvexa::testing
