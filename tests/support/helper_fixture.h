// The privileged helper served in-process for tests: a HelperServer on the
// socket PrivilegeHelper expects under the current paths-table root, with
// the two installed files present so that checkHelper accepts it.
//
//   testing::Sandbox sb;
//   testing::RunningHelper helper;  // after the sandbox
//   auto [tool, error] = PrivilegeHelper::shard().getHelperTool(...);
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "orvexa/helper/helper_protocol.h"
#include "orvexa/helper/helper_server.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/plist.h"

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
    {
      std::lock_guard lock(mu_);
      events_.emplace_back(event, eventDict);
    }
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
  explicit RunningHelper(HelperServerOptions options = {});
  // Stops the server and makes PrivilegeHelper forget its connection.
  ~RunningHelper();
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
void openFoldersForEveryone(const std::string& root, const std::string& path);

// The answer of one call, waited for (at most `limit`).
struct EventAnswer {
  bool answered = false;
  bool ok = false;
  int code = 0;
  PlistValue information;
};
// A Delete path's value as the clean sends it: the record `numbers` with
// the root "/" and the item's identity as it is now.
PlistValue deleteValue(const std::string& path, PlistValue numbers);

EventAnswer callEvent(HelperProtocol& tool, int event, const PlistValue& dictionary,
                      std::chrono::seconds limit = std::chrono::seconds(20));

// A frame-level client for malformed-input tests: raw bytes in, replies out.
class RawHelperClient {
 public:
  explicit RawHelperClient(const std::string& socketPath);
  ~RawHelperClient();
  bool connected() const { return fd_ >= 0; }
  bool send(const std::string& bytes);
  // The next reply's body, or nothing when the helper closed the connection
  // (or nothing came within the limit).
  std::optional<std::string> readFrame(std::chrono::seconds limit = std::chrono::seconds(10));
  // True when the helper has closed the connection.
  bool closedByPeer(std::chrono::seconds limit = std::chrono::seconds(10));

 private:
  int fd_ = -1;
};

}  // namespace orvexa::testing
