#include "orvexa/platform/detached_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace orvexa {

using detail::UniqueFd;

bool startDetached(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& logPath) {
  UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  UniqueFd log;
  if (!logPath.empty()) {
    log.reset(
        ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  }
  const int out = log.valid() ? log.get() : devNull.get();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(devNull.get(), 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    if (::chdir("/") != 0) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

}  // namespace orvexa
