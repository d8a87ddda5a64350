#include "orvexa/helper/helper_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>

#include "helper/unix_socket.h"
#include "orvexa/helper/helper_event_plan.h"
#include "orvexa/helper/helper_path_policy.h"
#include "orvexa/helper/privileged_file_operations.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/service_paths.h"
#include "orvexa/units/terminal_tool.h"
#include "platform/unique_fd.h"

namespace orvexa {

using detail::UniqueFd;

namespace {

HelperReply failureReply(HelperEventErrorID code, const std::string& why) {
  HelperReply reply;
  reply.flag = false;
  reply.code = raw(code);
  reply.information = PlistValue::dictionary();
  reply.information.set(std::string(kHelperDeleteStatusKey), raw(code));
  reply.information.set(std::string(kHelperDeleteDescKey), why);
  reply.message = why;
  return reply;
}

PlistValue pathEntry(const HelperPathTask& task, HelperEventErrorID status, const std::string& desc,
                     bool echoNumbers) {
  PlistValue entry = PlistValue::dictionary();
  if (echoNumbers && task.entry.isDictionary()) entry = task.entry;
  entry.set(std::string(kHelperPathKey), task.path);
  entry.set(std::string(kHelperDeleteStatusKey), raw(status));
  entry.set(std::string(kHelperDeleteDescKey), desc);
  return entry;
}

bool isExecutable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Runs the tools in order; the first one that is missing ends the run.
std::string runTools(const std::vector<std::pair<std::string, std::vector<std::string>>>& tools) {
  for (const auto& [name, arguments] : tools) {
    const std::string program = Paths::shared().tool(name);
    if (!isExecutable(program)) return name + " is not available at " + program;
    (void)TerminalUtils::runTerminal(program, arguments);
  }
  return {};
}

// Writes back dirty pages (tool("sync")), then has the kernel drop its clean
// page, dentry and inode caches; empty, or why not.
std::string dropCaches() {
  if (std::string failure = runTools({{"sync", {}}}); !failure.empty()) return failure;
  const std::string file = dropCachesFile();
  UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid() || ::write(fd.get(), "3\n", 2) != 2) {
    return FileStatus::fromErrno(errno, file).message();
  }
  return {};
}

}  // namespace

struct HelperServer::State {
  explicit State(HelperServerOptions o) : options(std::move(o)) {}

  HelperServerOptions options;
  UniqueFd listenFd;
  UniqueFd wakeRead;
  UniqueFd wakeWrite;
  dev_t socketDev = 0;
  ino_t socketIno = 0;

  std::mutex mu;
  std::condition_variable ended;
  bool running = false;
  bool acceptEnded = false;
  std::atomic<bool> stopping{false};
  std::thread acceptThread;
  // One client. Its socket's rule: shut down under `mu` by its serving
  // thread when it finishes or by the accept loop at a stop; closed only when
  // the entry is erased, after its thread was joined.
  struct Connection {
    detail::UniqueFd fd;
    std::thread thread;
    bool done = false;
  };
  std::list<Connection> connections;

  // Work on paths in flight, and what a stop cut short (guarded by workMu).
  std::mutex workMu;
  std::condition_variable workIdle;
  int busy = 0;
  std::atomic<bool> cancelWork{false};
  size_t stoppedReached = 0;
  size_t stoppedTotal = 0;

  void log(const std::string& line) const {
    if (options.log) options.log(line);
  }

  void requestStop() {
    stopping = true;
    char byte = 1;
    if (wakeWrite.valid()) (void)!::write(wakeWrite.get(), &byte, 1);
  }

  bool send(int fd, const HelperReply& reply) const {
    return writeAllToSocket(fd, encodeHelperFrame(helperReplyToPlist(reply)));
  }

  HelperReply handle(const HelperRequest& request, const Client& client, bool* endService);
  HelperReply handleEvent(int event, const PlistValue& dictionary, const Client& client,
                          bool* endService);
  HelperReply runPathTasks(const HelperEventPlan& plan, const Client& client);
  std::string stopReason(const Client& client) const;
  std::string stopWork();
  // A request that may work on paths is in flight from beginWork() until
  // endWork(), its reply sent: a stop waits for that.
  static bool isWork(const HelperRequest& request) {
    return request.operation == HelperRequest::Operation::handleEvent &&
           request.event != raw(HelperHanldeEventID::CloseHelper);
  }
  void beginWork() {
    std::lock_guard lock(workMu);
    ++busy;
  }
  void endWork() {
    {
      std::lock_guard lock(workMu);
      --busy;
    }
    workIdle.notify_all();
  }
  HelperReply uninstall(bool* endService);
  void serve(int fd);
  void acceptLoop();
  void reapFinished();
};

HelperReply HelperServer::State::handle(const HelperRequest& request, const Client& client,
                                        bool* endService) {
  switch (request.operation) {
    case HelperRequest::Operation::getHelperVersion: {
      HelperReply reply;
      reply.flag = true;
      reply.code = raw(HelperEventErrorID::Success);
      reply.message = options.version;
      return reply;
    }
    case HelperRequest::Operation::uninstall:
      return uninstall(endService);
    case HelperRequest::Operation::handleEvent:
      return handleEvent(request.event, request.dictionary, client, endService);
  }
  return failureReply(HelperEventErrorID::NoCause, "Unknown operation");
}

HelperReply HelperServer::State::uninstall(bool* endService) {
  std::string failures;
  for (const std::string& path : options.uninstallPaths) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    FileStatus removed = removeItem(path);
    if (!removed.ok()) failures += (failures.empty() ? "" : "; ") + removed.message();
  }
  HelperReply reply;
  reply.flag = failures.empty();
  reply.code =
      raw(failures.empty() ? HelperEventErrorID::Success : HelperEventErrorID::DeleteError);
  reply.message = failures.empty() ? std::string("The helper was uninstalled.") : failures;
  *endService = failures.empty();
  return reply;
}

std::string HelperServer::State::stopReason(const Client& client) const {
  if (stopping || cancelWork) return "the helper was stopped.";
  if (client.gone && client.gone()) return "the client that asked went away.";
  return {};
}

// Cancels the work in flight and waits until it has stopped; the text says
// how far it had come.
std::string HelperServer::State::stopWork() {
  bool serving = false;
  {
    std::lock_guard lock(mu);
    serving = running;
  }
  std::unique_lock lock(workMu);
  cancelWork = true;
  workIdle.wait(lock, [this] { return busy == 0; });
  const size_t reached = stoppedReached;
  const size_t total = stoppedTotal;
  if (!serving) {
    // Serving no socket (a program serving itself): later requests go on.
    cancelWork = false;
    stoppedReached = stoppedTotal = 0;
  }
  if (total == 0) return "Stopped; no work was in progress.";
  return "Stopped after " + std::to_string(reached) + " of " + std::to_string(total) +
         " items in progress; the other " + std::to_string(total - reached) + " were not touched.";
}

HelperReply HelperServer::State::handleEvent(int event, const PlistValue& dictionary,
                                             const Client& client, bool* endService) {
  const std::optional<HelperHanldeEventID> kind = makeHelperHanldeEventID(event);
  if (kind == HelperHanldeEventID::CloseHelper) {
    *endService = true;
    const std::string said = stopWork();
    log(said);
    HelperReply reply;
    reply.flag = true;
    reply.code = raw(HelperEventErrorID::Success);
    reply.information = PlistValue::dictionary();
    reply.information.set(std::string(kHelperDeleteStatusKey), raw(HelperEventErrorID::Success));
    reply.information.set(std::string(kHelperDeleteDescKey), said);
    reply.message = said;
    return reply;
  }
  HelperEventPlan plan = planHelperEvent(
      event, dictionary, kind ? helperPathScopeFor(client.userId) : HelperPathScope{});
  if (!plan.error.empty()) {
    log("refused event " + std::to_string(event) + ": " + plan.error);
    return failureReply(HelperEventErrorID::NoCause, plan.error);
  }
  switch (*plan.event) {
    case HelperHanldeEventID::CloseHelper:  // answered above
    case HelperHanldeEventID::Delete:
    case HelperHanldeEventID::Shred:
      return runPathTasks(plan, client);
    case HelperHanldeEventID::Maintenance:
      break;
  }
  switch (*plan.operation) {
    case HelperMaintenanceOperation::CleanDNS:
    case HelperMaintenanceOperation::RebuildSpotlight:
    case HelperMaintenanceOperation::FreeMemory: {
      std::string failure;
      if (*plan.operation == HelperMaintenanceOperation::FreeMemory) {
        failure = dropCaches();
      } else if (*plan.operation == HelperMaintenanceOperation::RebuildSpotlight) {
        failure = runTools({{"mdutil", {"-E", "/"}}});
      } else if (Paths::shared().layout() == Layout::Linux) {
        failure = runTools({{"resolvectl", {"flush-caches"}}});
      } else {
        failure =
            runTools({{"dscacheutil", {"-flushcache"}}, {"killall", {"-HUP", "mDNSResponder"}}});
      }
      if (!failure.empty()) return failureReply(HelperEventErrorID::NoCause, failure);
      HelperReply reply;
      reply.flag = true;
      reply.code = raw(HelperEventErrorID::Success);
      reply.information.set(std::string(kHelperDeleteStatusKey), raw(HelperEventErrorID::Success));
      reply.information.set(std::string(kHelperDeleteDescKey), "");
      return reply;
    }
    case HelperMaintenanceOperation::Clean:
    case HelperMaintenanceOperation::Move:
    case HelperMaintenanceOperation::Restore:
      return runPathTasks(plan, client);
  }
  return failureReply(HelperEventErrorID::NoCause, "Unknown operation");
}

HelperReply HelperServer::State::runPathTasks(const HelperEventPlan& plan, const Client& client) {
  const bool shred = *plan.event == HelperHanldeEventID::Shred;
  const bool restore = plan.operation == HelperMaintenanceOperation::Restore;
  const bool move = plan.operation == HelperMaintenanceOperation::Move || restore;
  const HelperEventErrorID failureCode = shred  ? HelperEventErrorID::ShreadFail
                                         : move ? HelperEventErrorID::MoveFail
                                                : HelperEventErrorID::DeleteError;
  HelperReply reply;
  // Appended directly (not through set(), which looks each key up first):
  // requests may hold many thousands of paths.
  PlistValue::Dictionary answers;
  answers.entries.reserve(plan.tasks.size() + 2);
  bool allDone = true;
  size_t reached = 0;
  std::string stopped;
  for (const HelperPathTask& task : plan.tasks) {
    HelperEventErrorID status = HelperEventErrorID::Success;
    std::string desc;
    std::string movedTo;  // a quarantined or restored item's new path
    if (stopped.empty()) stopped = stopReason(client);
    if (!stopped.empty()) {
      status = failureCode;
      desc = "Not done: " + stopped;
    } else if (++reached; !task.refusal.empty()) {
      status = failureCode;
      desc = task.refusal;
    } else {
      FileStatus done;
      bool shredFailed = false;
      if (shred) {
        const PlistValue* hardLinks = task.entry.find(kHelperHardLinksKey);
        done = shredItemWithoutFollowing(task.normalized, &shredFailed, options.walkHook,
                                         hardLinks != nullptr && hardLinks->asBoolean() == true);
      } else if (const PlistValue* name = task.entry.find(kHelperQuarantineKey);
                 name != nullptr && *plan.event == HelperHanldeEventID::Delete) {
        done = name->asString() == nullptr
                   ? FileStatus::withMessage(EINVAL, "no quarantine name")
                   : quarantineListedItem(task.listed, *name->asString(), client.userId, &movedTo,
                                          options.walkHook);
      } else if (const bool purge =
                     plan.operation && !move && namedLikeQuarantineEntry(task.normalized);
                 restore || purge) {
        done = quarantineEntryRefusal(task.normalized, client.userId,
                                      restore ? &task.toPath : nullptr);
        if (done.ok() && restore) {
          const PlistValue* access = task.entry.find(kHelperAccessKey);
          done = restoreQuarantinedItem(task.listed, task.toPath,
                                        access != nullptr ? access->asInteger().value_or(0) : 0,
                                        &movedTo, options.walkHook);
        } else if (done.ok()) {
          done =
              removeListedItem(ListedItem{"/", task.normalized, task.listed.identity},
                               RemovalOptions{.followRootLink = false, .hook = options.walkHook});
        }
        if (done.ok() || !movedTo.empty()) forgetQuarantineOrigin(task.normalized);
      } else if (move) {
        done = moveItemWithoutFollowing(task.normalized, task.toPath, options.walkHook);
      } else {
        RemovalOptions removal;
        removal.followRootLink = false;  // the root is reached from "/" without links
        removal.hook = options.walkHook;
        // Extensions that maintenance removes carry no listed identity: they
        // are taken as they are now, reached from "/".
        done = removeListedItem(
            *plan.event == HelperHanldeEventID::Delete
                ? task.listed
                : ListedItem{"/", task.normalized,
                             ListedIdentity::ofPath(task.normalized).value_or(ListedIdentity{})},
            removal);
      }
      if (!done.ok()) {
        status = shred && !shredFailed ? HelperEventErrorID::DeleteError : failureCode;
        desc = done.message();
      }
    }
    if (status != HelperEventErrorID::Success) {
      allDone = false;
      if (stopped.empty()) log("could not handle " + task.path + ": " + desc);
    }
    answers.entries.emplace_back(
        task.path, pathEntry(task, status, desc, *plan.event == HelperHanldeEventID::Delete));
    if (!movedTo.empty()) answers.entries.back().second.set(std::string(kHelperToPathKey), movedTo);
  }
  if (!stopped.empty()) {
    log("stopped after " + std::to_string(reached) + " of " + std::to_string(plan.tasks.size()) +
        " items: " + stopped);
  }
  {
    std::lock_guard lock(workMu);
    if (cancelWork) {
      stoppedReached += reached;
      stoppedTotal += plan.tasks.size();
    }
  }
  reply.information = PlistValue(std::move(answers));
  reply.flag = allDone;
  reply.code = raw(allDone ? HelperEventErrorID::Success : failureCode);
  if (!shred) {
    // The request as a whole was carried out; set last so that no path
    // entry can stand in for them.
    reply.information.set(std::string(kHelperDeleteStatusKey), raw(HelperEventErrorID::Success));
    reply.information.set(std::string(kHelperDeleteDescKey), "");
  }
  return reply;
}

void HelperServer::State::serve(int fd) {
  uid_t peer = 0;
  if (!detail::peerUserId(fd, &peer) || (peer != 0 && peer != options.allowedUserId)) {
    const std::string why = "Refused: the privileged helper was installed for user id " +
                            std::to_string(options.allowedUserId) + "; user id " +
                            std::to_string(peer) + " may not use it.";
    log(why);
    (void)send(fd, failureReply(HelperEventErrorID::NoCause, why));
    return;
  }
  while (!stopping) {
    std::string body;
    uint32_t announced = 0;
    int err = 0;
    FrameReadStatus status = readHelperFrame(fd, options.maxFrameSize, &body, &announced, &err);
    if (status == FrameReadStatus::tooLarge) {
      const std::string why = "Refused: a message of " + std::to_string(announced) +
                              " bytes is larger than the limit of " +
                              std::to_string(options.maxFrameSize) + " bytes.";
      log(why);
      (void)send(fd, failureReply(HelperEventErrorID::NoCause, why));
      return;
    }
    if (status != FrameReadStatus::ok) {
      if (status == FrameReadStatus::truncated) log("a connection ended inside a message");
      return;
    }
    std::string why;
    std::optional<HelperRequest> request = decodeHelperRequest(body, &why);
    if (!request) {
      log("malformed message: " + why);
      if (!send(fd, failureReply(HelperEventErrorID::NoCause, "Malformed message: " + why))) {
        return;
      }
      continue;
    }
    bool endService = false;
    Client client;
    client.userId = peer;
    client.gone = [fd] {
      pollfd p{fd, POLLRDHUP, 0};
      return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    };
    const bool work = isWork(*request);
    if (work) beginWork();
    HelperReply reply = handle(*request, client, &endService);
    const bool sent = send(fd, reply);
    if (work) endWork();
    if (endService) {
      requestStop();
      return;
    }
    if (!sent) return;
  }
}

void HelperServer::State::reapFinished() {
  std::lock_guard lock(mu);
  for (auto it = connections.begin(); it != connections.end();) {
    if (it->done) {
      it->thread.join();
      it = connections.erase(it);
    } else {
      ++it;
    }
  }
}

void HelperServer::State::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd.get(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
    int ready = ::poll(fds, 2, -1);
    if (stopping) break;
    if (ready < 0) {
      if (errno == EINTR) continue;
      log("poll failed: " + posixErrorText(errno));
      break;
    }
    reapFinished();
    if ((fds[0].revents & POLLIN) == 0) continue;
    detail::UniqueFd accepted(::accept4(listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!accepted) continue;
    const int fd = accepted.get();
    // A client that stops reading cannot hold a reply, and with it a stop
    // waiting for that reply, for long.
    const timeval sendLimit{10, 0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    std::lock_guard lock(mu);
    if (connections.size() >= options.maxConnections) {
      (void)send(fd, failureReply(HelperEventErrorID::NoCause,
                                  "Refused: the helper is serving too many connections."));
      continue;
    }
    connections.emplace_back();
    Connection* connection = &connections.back();
    connection->fd = std::move(accepted);
    connection->thread = std::thread([this, connection, fd] {
      serve(fd);
      std::lock_guard doneLock(mu);
      // The client sees the end now; the descriptor goes when it is reaped.
      ::shutdown(fd, SHUT_RDWR);
      connection->done = true;
    });
  }
  // No new connections: close the socket and wake every connection.
  struct stat st {};
  if (::lstat(options.socketPath.c_str(), &st) == 0 && st.st_dev == socketDev &&
      st.st_ino == socketIno) {
    ::unlink(options.socketPath.c_str());
  }
  listenFd.reset();
  std::unique_lock lock(mu);
  for (Connection& connection : connections) {
    if (!connection.done) ::shutdown(connection.fd.get(), SHUT_RDWR);
  }
  while (!connections.empty()) {
    std::thread thread = std::move(connections.front().thread);
    lock.unlock();
    thread.join();
    lock.lock();
    connections.pop_front();
  }
  acceptEnded = true;
  running = false;
  ended.notify_all();
}

HelperServer::HelperServer(HelperServerOptions options)
    : state_(std::make_shared<State>(std::move(options))) {}

HelperServer::~HelperServer() { stop(); }

bool HelperServer::start(std::string* error) {
  State& s = *state_;
  std::lock_guard lock(s.mu);
  if (s.running) return true;
  std::string why;
  s.listenFd = detail::listenUnixSocket(s.options.socketPath, 0666, &why);
  if (!s.listenFd) {
    if (error != nullptr) *error = why;
    return false;
  }
  struct stat st {};
  if (::lstat(s.options.socketPath.c_str(), &st) == 0) {
    s.socketDev = st.st_dev;
    s.socketIno = st.st_ino;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    if (error != nullptr) *error = "pipe: " + posixErrorText(errno);
    ::unlink(s.options.socketPath.c_str());
    s.listenFd.reset();
    return false;
  }
  s.wakeRead.reset(pipeFds[0]);
  s.wakeWrite.reset(pipeFds[1]);
  s.stopping = false;
  s.acceptEnded = false;
  s.running = true;
  if (s.acceptThread.joinable()) s.acceptThread.join();
  s.acceptThread = std::thread([&s] { s.acceptLoop(); });
  return true;
}

void HelperServer::wait() {
  State& s = *state_;
  std::unique_lock lock(s.mu);
  s.ended.wait(lock, [&s] { return !s.running; });
}

void HelperServer::stop() {
  State& s = *state_;
  s.requestStop();
  std::thread accept;
  {
    std::lock_guard lock(s.mu);
    accept = std::move(s.acceptThread);
  }
  if (accept.joinable()) accept.join();
}

bool HelperServer::running() const {
  std::lock_guard lock(state_->mu);
  return state_->running;
}

HelperReply HelperServer::handle(const HelperRequest& request, const Client& client,
                                 bool* endService) {
  const bool work = State::isWork(request);
  if (work) state_->beginWork();
  HelperReply reply = state_->handle(request, client, endService);
  if (work) state_->endWork();
  return reply;
}

}  // namespace orvexa
