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
#include <memory>
#include <string>

#include "orvexa/helper/helper_protocol.h"
#include "orvexa/helper/helper_server.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/plist.h"

namespace orvexa::testing {

// A blessing mechanism under which the helper never gets installed:
// copyRights answers `rights` (false: the user could not authorise) and
// blessJob returns `code` (non-zero: the blessing failed with that code).
class FailingBlessing : public BlessingMechanism {
 public:
  explicit FailingBlessing(bool rights = false, int code = 0) : rights_(rights), code_(code) {}
  bool createAuthorization() override { return true; }
  bool copyRights(const std::string&) override { return rights_; }
  int blessJob(const std::string&, const std::string&) override { return code_; }
  void freeAuthorization() override {}
  bool launchJob(const std::string&) override { return false; }

 private:
  bool rights_;
  int code_;
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
  }
};

class RunningHelper {
 public:
  // Serves PrivilegeHelper::helperName() (set the bundle identifier first)
  // for root and `options.allowedUserId` (default: the test's own user);
  // the socket path is filled in.
  explicit RunningHelper(HelperServerOptions options = {});
  // Stops the server and makes PrivilegeHelper forget its connection.
  ~RunningHelper();
  RunningHelper(const RunningHelper&) = delete;
  RunningHelper& operator=(const RunningHelper&) = delete;

  HelperServer& server() { return *server_; }
  const std::string& socketPath() const { return socketPath_; }
  const std::string& label() const { return label_; }

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
