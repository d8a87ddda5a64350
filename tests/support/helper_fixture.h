// The privileged helper served in-process for tests: a HelperServer on the
// socket PrivilegeHelper expects under the current paths-table root, with
// the two installed files present so that checkHelper accepts it.
//
//   testing::Sandbox sb;
//   testing::RunningHelper helper;  // after the sandbox
//   auto [tool, error] = PrivilegeHelper::shard().getHelperTool(...);
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "helper/unix_socket.h"
#include "orvexa/helper/helper_event_plan.h"
#include "orvexa/helper/helper_message.h"
#include "orvexa/helper/helper_protocol.h"
#include "orvexa/helper/helper_server.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/plist.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace orvexa::testing {

// Stands for a program without root rights and without an installed
// helper (privileged work is not done in-process) while it lives.
struct NoHelper {
  NoHelper() { PrivilegeHelper::shard().setInProcess(false); }
  ~NoHelper() { PrivilegeHelper::shard().setInProcess(std::nullopt); }
  NoHelper(const NoHelper&) = delete;
  NoHelper& operator=(const NoHelper&) = delete;
};

// A proxy that remembers each event and passes it on to `inner` or, built
// with an Answer, answers as the test says (touching nothing).
class RecordingHelper : public HelperProtocol {
 public:
  using Answer = std::function<void(const PlistValue& dictionary, EventReply reply)>;
  explicit RecordingHelper(std::shared_ptr<HelperProtocol> inner) : inner_(std::move(inner)) {}
  explicit RecordingHelper(Answer answer) : answer_(std::move(answer)) {}

  void getHelperVersion(VersionReply reply) override {
    inner_ ? inner_->getHelperVersion(std::move(reply)) : reply(kHelperToolVersion);
  }
  void handleEvent(int event, PlistValue eventDict, EventReply reply) override {
    std::unique_lock lock(mu_);
    events_.emplace_back(event, eventDict);
    lock.unlock();
    inner_ ? inner_->handleEvent(event, std::move(eventDict), std::move(reply))
           : answer_(eventDict, std::move(reply));
  }
  void uninstall(UninstallReply reply) override {
    inner_ ? inner_->uninstall(std::move(reply)) : reply(true, "");
  }
  std::vector<std::pair<int, PlistValue>> events() {
    std::lock_guard lock(mu_);
    return events_;
  }

 private:
  std::shared_ptr<HelperProtocol> inner_;
  Answer answer_;
  std::mutex mu_;
  std::vector<std::pair<int, PlistValue>> events_;
};

// A test that talks to the helper, as the tests' bundle: afterwards the
// connection and any blessing mechanism the test set are dropped, so that
// the next test starts without either.
class HelperUsingTest : public ::testing::Test {
 protected:
  void SetUp() override { Identity::shared().setBundleIdentifier("org.orvexa.tests"); }
  void TearDown() override {
    PrivilegeHelper::shard().close();
    PrivilegeHelper::shard().setBlessingMechanism(nullptr);
    PrivilegeHelper::shard().setInProcess(std::nullopt);
  }
};

class RunningHelper {
 public:
  // Serves PrivilegeHelper::helperName() (set the bundle identifier first)
  // for root and `options.allowedUserId` (default: the test's own user);
  // the socket path is filled in. While it lives, PrivilegeHelper talks to
  // it even though the tests run as root.
  explicit RunningHelper(HelperServerOptions options = {})
      : label_(PrivilegeHelper::helperName()), socketPath_(helperSocketPath(label_)) {
    writeFileAt(helperToolPath(label_), "installed\n");
    writeFileAt(helperLaunchDaemonPlistPath(label_), "installed\n");
    makeDirAt(std::filesystem::path(socketPath_).parent_path());
    options.socketPath = socketPath_;
    // The test process is the installing user (root is always served).
    if (options.allowedUserId == 0) options.allowedUserId = ::geteuid();
    PrivilegeHelper::shard().setInProcess(false);
    server_ = std::make_unique<HelperServer>(std::move(options));
    std::string why;
    if (!server_->start(&why)) ADD_FAILURE() << "helper server: " << why;
  }
  // Stops the server and makes PrivilegeHelper forget its connection.
  ~RunningHelper() {
    server_->stop();
    PrivilegeHelper::shard().close();
    PrivilegeHelper::shard().setInProcess(std::nullopt);
  }
  RunningHelper(const RunningHelper&) = delete;
  RunningHelper& operator=(const RunningHelper&) = delete;

  HelperServer& server() { return *server_; }
  const std::string& socketPath() const { return socketPath_; }

 private:
  std::string label_;
  std::string socketPath_;
  std::unique_ptr<HelperServer> server_;
};

// Makes every folder from `root` down to `path` searchable by everyone, so
// that a test running as another user can reach a socket there.
inline void openFoldersForEveryone(const std::string& root, const std::string& path) {
  for (std::filesystem::path current = path;; current = current.parent_path()) {
    ::chmod(current.c_str(), 0755);
    if (current.string() == root || current == current.parent_path()) break;
  }
}

// The answer of one call, waited for (at most 20 seconds).
struct EventAnswer {
  bool answered = false;
  bool ok = false;
  int code = 0;
  PlistValue information;
};
// A Delete path's value as the clean sends it: the record `numbers` with
// the root "/" and the item's identity as it is now.
inline PlistValue deleteValue(const std::string& path, PlistValue numbers) {
  if (auto identity = ListedIdentity::ofPath(path)) {
    putListedItem(numbers.asDictionary(), "/", *identity);
  }
  return numbers;
}

inline EventAnswer callEvent(HelperProtocol& tool, int event, const PlistValue& dictionary) {
  auto promise = std::make_shared<std::promise<EventAnswer>>();
  std::future<EventAnswer> future = promise->get_future();
  tool.handleEvent(event, dictionary, [promise](bool ok, int code, PlistValue information) {
    promise->set_value({true, ok, code, std::move(information)});
  });
  if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) return {};
  return future.get();
}

// A frame-level client for malformed-input tests: raw bytes in, replies out.
class RawHelperClient {
 public:
  explicit RawHelperClient(const std::string& socketPath)
      : fd_(detail::connectUnixSocket(socketPath, &error_)) {}
  bool send(const std::string& bytes) { return fd_ && writeAllToSocket(fd_.get(), bytes); }
  // The next reply's body, or nothing when the helper closed the connection
  // (or nothing came within the limit).
  std::optional<std::string> readFrame(std::chrono::seconds limit = std::chrono::seconds(10)) {
    std::string body;
    const bool got = readable(limit) &&
                     readHelperFrame(fd_.get(), kHelperMaxFrameSize, &body) == FrameReadStatus::ok;
    return got ? std::optional(std::move(body)) : std::nullopt;
  }
  // True when the helper has closed the connection.
  bool closedByPeer(std::chrono::seconds limit = std::chrono::seconds(10)) {
    if (!fd_) return true;
    if (!readable(limit)) return false;
    char byte = 0;
    ssize_t n = ::recv(fd_.get(), &byte, 1, MSG_DONTWAIT);
    // Unread bytes on the helper's side when it closed show as a reset.
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }

 private:
  // Whether there is something to read (or the end) within `limit`.
  bool readable(std::chrono::seconds limit) {
    pollfd p{fd_.get(), POLLIN, 0};
    return fd_ && ::poll(&p, 1, static_cast<int>(limit.count() * 1000)) > 0;
  }

  int error_ = 0;  // of the connection, unused
  detail::UniqueFd fd_;
};

}  // namespace orvexa::testing
