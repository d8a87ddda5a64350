#include "orvexa/units/terminal_tool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "orvexa/platform/posix_error.h"
#include "orvexa/platform/utf8.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/scan_status.h"
#include "platform/unique_fd.h"

namespace orvexa {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
// How often a quiet pipe is checked for a tool that exited while a process it
// started still holds the pipe open.
constexpr int kExitCheckMillis = 200;
// How long a tool asked to stop (SIGINT) may take before it is killed.
constexpr std::chrono::milliseconds kStopGrace{2000};

std::atomic<int64_t> gTimeLimitMillis{TerminalLimits{}.time.count()};
std::atomic<size_t> gOutputLimit{TerminalLimits{}.outputBytes};

TerminalLimits currentLimits() {
  return TerminalLimits{std::chrono::milliseconds(gTimeLimitMillis.load()), gOutputLimit.load()};
}

// A launched tool. The reader reaps it; pieces on the caller's queue may
// signal it, which must never reach a recycled process id.
class Process {
 public:
  explicit Process(pid_t pid) : pid_(pid) {}

  // Sends SIGINT, at most once per process.
  void interrupt() {
    std::lock_guard lock(mu_);
    if (!reaped_ && !interrupted_) ::kill(pid_, SIGINT);
    interrupted_ = true;
  }

  void kill() {
    std::lock_guard lock(mu_);
    if (!reaped_) ::kill(pid_, SIGKILL);
  }

  pid_t pid() const { return pid_; }

  // Waits for the exit, then reaps. Until the reap the id stays a zombie's,
  // so interrupt() cannot hit another process.
  void reap() {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0) {
      if (errno != EINTR) break;  // ECHILD: already reaped (SIGCHLD ignored by the host)
    }
    std::lock_guard lock(mu_);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }

  bool hasExited() const {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      return errno == ECHILD;
    }
    return info.si_pid == pid_;
  }

 private:
  const pid_t pid_;
  std::mutex mu_;
  bool reaped_ = false;
  bool interrupted_ = false;
};

struct Launched {
  std::shared_ptr<Process> process;
  detail::UniqueFd output;  // reading end of the tool's standard output
};

class SpawnSettings {
 public:
  SpawnSettings() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

void logLaunchFailure(const std::string& launchPath, int error) {
  LogService::shard().log(LogService::LogLevel::Info,
                          "Run Terminal Error:" + launchPath + " " + posixErrorText(error));
}

std::optional<Launched> launch(const std::string& launchPath,
                               const std::vector<std::string>& arguments) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    logLaunchFailure(launchPath, errno);
    return std::nullopt;
  }
  detail::UniqueFd readEnd(fds[0]);
  detail::UniqueFd writeEnd(fds[1]);

  SpawnSettings settings;
  // dup2 clears close-on-exec on the tool's descriptor 1 only; both pipe ends
  // themselves close at exec.
  posix_spawn_file_actions_adddup2(&settings.actions_, writeEnd.get(), STDOUT_FILENO);
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&settings.attributes_, &all);
  posix_spawnattr_setsigmask(&settings.attributes_, &none);
  posix_spawnattr_setflags(&settings.attributes_,
                           static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(launchPath.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  // glibc reports a failed exec (missing file, no execute permission) here.
  int rc = ::posix_spawn(&pid, launchPath.c_str(), &settings.actions_, &settings.attributes_,
                         argv.data(), environ);
  if (rc != 0) {
    logLaunchFailure(launchPath, rc);
    return std::nullopt;
  }
  return Launched{std::make_shared<Process>(pid), std::move(readEnd)};
}

void logCut(const std::string& launchPath, const std::string& why) {
  LogService::shard().log(LogService::LogLevel::Info, "Run Terminal Cut:" + launchPath + " " + why);
}

// Drops an incomplete UTF-8 sequence left at the end by a cut.
void trimPartialUtf8(std::string& text) {
  size_t back = 0;
  while (back < 4 && back < text.size() &&
         (static_cast<unsigned char>(text[text.size() - 1 - back]) & 0xC0) == 0x80) {
    ++back;
  }
  if (back < text.size()) {
    const auto lead = static_cast<unsigned char>(text[text.size() - 1 - back]);
    const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (lead >= 0xC0 && need > back + 1) text.resize(text.size() - 1 - back);
  }
}

// Reads the tool's output until the pipe ends (or, if a descendant keeps it
// open, until the tool has exited and the pipe is empty), passing each piece
// to onData; then reaps the tool. The tool is killed, and the reading ends
// with what came so far, once it runs past the time limit, once its output
// passes the output limit (onData then gets only what fits), or, for a
// feature's run, a stop grace after the feature's scan was suspended (it is
// interrupted first).
enum class Ending { kComplete, kCut, kStopped };
template <typename OnData>
Ending collect(Launched& tool, const std::string& launchPath, std::optional<int64_t> featureIndex,
               OnData&& onData) {
  using Clock = std::chrono::steady_clock;
  const TerminalLimits limits = currentLimits();
  const Clock::time_point deadline = Clock::now() + limits.time;
  std::optional<Clock::time_point> stopDeadline;
  size_t total = 0;
  bool cut = false;
  bool stopped = false;
  const int fd = tool.output.get();
  char buffer[kReadChunk];
  // Passes a piece on within the output limit; false once the limit is hit.
  auto take = [&](size_t n) {
    const size_t room = limits.outputBytes - total;
    if (n > room) {
      if (room > 0) onData(std::string_view(buffer, room));
      total = limits.outputBytes;
      logCut(launchPath, "output larger than " + std::to_string(limits.outputBytes) + " bytes");
      return false;
    }
    total += n;
    onData(std::string_view(buffer, n));
    return true;
  };
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      logCut(launchPath, "ran longer than " + std::to_string(limits.time.count()) + " ms");
      cut = true;
      break;
    }
    if (featureIndex && !stopDeadline && ScanStatusTable::isSuspended(*featureIndex)) {
      tool.process->interrupt();
      stopDeadline = now + kStopGrace;
      stopped = true;
    }
    if (stopDeadline && now >= *stopDeadline) {
      logCut(launchPath, "stopped with its scan");
      cut = true;
      break;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    pollfd ready{fd, POLLIN, 0};
    int polled = ::poll(&ready, 1, static_cast<int>(std::min<int64_t>(kExitCheckMillis, left)));
    if (polled < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (polled == 0) {
      if (!tool.process->hasExited()) continue;
      // What the tool wrote is in the pipe by now: take it without waiting
      // for a descendant.
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
          if (!take(static_cast<size_t>(n))) {
            cut = true;
            break;
          }
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
      }
      break;
    }
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      if (!take(static_cast<size_t>(n))) {
        cut = true;
        break;
      }
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  if (cut) tool.process->kill();
  tool.process->reap();
  return stopped ? Ending::kStopped : cut ? Ending::kCut : Ending::kComplete;
}

// The state of one real-time run, shared by the pieces handed to the queue.
// Only those pieces touch buffer, interrupted and finish, one at a time.
struct RealTimeRun {
  std::shared_ptr<Process> process;
  std::string buffer;
  bool interrupted = false;
  bool cut = false;
  std::function<void(std::string)> finish;

  void deliver(std::string text) {
    if (finish) finish(std::move(text));
  }
};

void realTimeRun(const std::string& launchPath, const std::vector<std::string>& arguments,
                 SerialGCDService& thread, std::function<void(std::string)> finish,
                 std::optional<int64_t> featureIndex) {
  auto ignore = [](JThreadSatefy::THREADRUNERROR) {};
  auto run = std::make_shared<RealTimeRun>();
  run->finish = std::move(finish);

  std::optional<Launched> tool = launch(launchPath, arguments);
  if (!tool) {
    thread.runDeferred([run] { run->deliver(""); }, ignore);
    return;
  }
  run->process = tool->process;

  const Ending ending = collect(*tool, launchPath, featureIndex, [&](std::string_view data) {
    thread.runDeferred(
        [run, featureIndex, chunk = std::string(data)] {
          if (featureIndex) {
            const int state =
                ScanStatusTable::get(*featureIndex).value_or(static_cast<int>(ScanState::start));
            if (state == static_cast<int>(ScanState::suspend) && !run->interrupted) {
              run->process->interrupt();
              run->deliver("");
              run->interrupted = true;
            }
          }
          run->buffer += chunk;
        },
        ignore);
  });

  thread.runDeferred(
      [run, ending] {
        if (run->interrupted) return;  // the caller has had its finish already
        if (ending == Ending::kStopped) run->buffer.clear();
        if (ending == Ending::kCut) trimPartialUtf8(run->buffer);
        std::string text = isValidUtf8(run->buffer) ? std::move(run->buffer) : std::string();
        run->deliver(std::move(text));
      },
      ignore);
}

std::string blockingRun(const std::string& launchPath, const std::vector<std::string>& arguments,
                        std::optional<int64_t> featureIndex) {
  std::optional<Launched> tool = launch(launchPath, arguments);
  if (!tool) return {};
  std::string output;
  if (collect(*tool, launchPath, featureIndex, [&](std::string_view data) { output += data; }) !=
      Ending::kComplete) {
    trimPartialUtf8(output);
  }
  if (!isValidUtf8(output)) return "Error";
  return output;
}

}  // namespace

std::string TerminalUtils::runTerminal(const std::string& launchPath,
                                       const std::vector<std::string>& arguments) {
  return blockingRun(launchPath, arguments, std::nullopt);
}

void TerminalUtils::setLimits(TerminalLimits limits) {
  gTimeLimitMillis = limits.time.count();
  gOutputLimit = limits.outputBytes;
}

TerminalLimits TerminalUtils::limits() { return currentLimits(); }

void TerminalUtils::realTimeRunTerminal(const std::string& launchPath,
                                        const std::vector<std::string>& arguments,
                                        SerialGCDService& thread,
                                        std::function<void(std::string)> finish) {
  realTimeRun(launchPath, arguments, thread, std::move(finish), std::nullopt);
}

std::string TerminalUtilsClass::runTerminal(const std::string& launchPath,
                                            const std::vector<std::string>& arguments) const {
  return blockingRun(launchPath, arguments, featureIndex_);
}

void TerminalUtilsClass::realTimeRunTerminal(const std::string& launchPath,
                                             const std::vector<std::string>& arguments,
                                             SerialGCDService& thread,
                                             std::function<void(std::string)> finish) const {
  realTimeRun(launchPath, arguments, thread, std::move(finish), featureIndex_);
}

}  // namespace orvexa
