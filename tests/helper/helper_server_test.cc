#include "orvexa/helper/helper_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "orvexa/helper/helper_connection.h"
#include "orvexa/helper/helper_message.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "support/helper_fixture.h"
#include "support/run_as.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::callEvent;
using testing::kNobodyUid;
using testing::RawHelperClient;
using testing::readFile;

PlistValue dict(std::initializer_list<std::pair<std::string, PlistValue>> entries) {
  PlistValue d = PlistValue::dictionary();
  for (const auto& [key, value] : entries) d.set(key, value);
  return d;
}

int64_t intAt(const PlistValue& d, std::string_view key) {
  const PlistValue* v = d.find(key);
  return v != nullptr ? v->asInteger().value_or(-99) : -99;
}

std::string textAt(const PlistValue& d, std::string_view key) {
  const PlistValue* v = d.find(key);
  return v != nullptr && v->asString() != nullptr ? *v->asString() : "<none>";
}

std::string requestFrame(HelperRequest::Operation operation, int event = 0,
                         PlistValue dictionary = PlistValue::dictionary()) {
  HelperRequest request;
  request.operation = operation;
  request.event = event;
  request.dictionary = std::move(dictionary);
  return encodeHelperFrame(helperRequestToPlist(request));
}

// Asks for the version as the user nobody: the version, or the refusal
// and whether the helper then closed the connection.
std::string versionAsNobody(const std::string& socket) {
  std::optional<std::string> seen = testing::runAsUser(kNobodyUid, testing::kNogroupGid, [&socket] {
    RawHelperClient client(socket);
    client.send(requestFrame(HelperRequest::Operation::getHelperVersion));
    std::optional<std::string> body = client.readFrame();
    std::optional<HelperReply> reply = body ? decodeHelperReply(*body, nullptr) : std::nullopt;
    if (!reply) return std::string("no reply");
    if (reply->flag) return reply->message;
    return "refused|" + reply->message + (client.closedByPeer() ? "|closed" : "|open");
  });
  return seen.value_or("did not run");
}

class HelperServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root";
    Identity::shared().setBundleIdentifier("org.orvexa.tests");
  }

  std::shared_ptr<HelperProtocol> connect(const testing::RunningHelper& helper) {
    connection_ = HelperConnection::connect(helper.socketPath());
    if (!connection_) return nullptr;
    return connection_->remoteObjectProxyWithErrorHandler(nullptr);
  }

  testing::Sandbox sb_;
  std::shared_ptr<HelperConnection> connection_;
};

TEST_F(HelperServerTest, DeletesWhatTheUserCannotAndRefusesSystemPaths) {
  testing::RunningHelper helper;
  // A file of another user in a folder of root's.
  const std::string folder = sb_.dir("/Library/Caches/com.example.shared");
  const std::string file = sb_.file("/Library/Caches/com.example.shared/data.bin", 100);
  ASSERT_EQ(::chown(file.c_str(), kNobodyUid, testing::kNogroupGid), 0);
  ::chmod(folder.c_str(), 0755);

  std::shared_ptr<HelperProtocol> tool = connect(helper);
  ASSERT_TRUE(tool);
  testing::EventAnswer answer =
      callEvent(*tool, raw(HelperHanldeEventID::Delete),
                dict({{file, testing::deleteValue(file, dict({{"0", 0}, {"1", 4}}))},
                      {"/", dict({{"0", 1}})},
                      {"/usr", dict({{"0", 2}})},
                      {"/etc/passwd", dict({{"0", 3}})}}));
  ASSERT_TRUE(answer.answered);
  EXPECT_FALSE(answer.ok);
  EXPECT_EQ(answer.code, raw(HelperEventErrorID::DeleteError));
  EXPECT_EQ(intAt(answer.information, "DeleteStatus"), raw(HelperEventErrorID::Success));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(fs::exists(folder));

  const PlistValue* done = answer.information.find(file);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(intAt(*done, "DeleteStatus"), raw(HelperEventErrorID::Success));
  EXPECT_EQ(textAt(*done, "Path"), file);
  EXPECT_EQ(intAt(*done, "1"), 4) << "the request's record numbers come back";
  for (const char* path : {"/", "/usr", "/etc/passwd"}) {
    SCOPED_TRACE(path);
    const PlistValue* refused = answer.information.find(path);
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(intAt(*refused, "DeleteStatus"), raw(HelperEventErrorID::DeleteError));
    EXPECT_EQ(textAt(*refused, "DeleteDesc"),
              std::string("Refused: \"") + path + "\" is a protected system location.");
  }
  EXPECT_TRUE(fs::exists("/etc/passwd"));

  std::promise<std::string> version;
  tool->getHelperVersion([&version](std::string v) { version.set_value(v); });
  EXPECT_EQ(version.get_future().get(), kHelperToolVersion);
}

TEST_F(HelperServerTest, OnlyRootAndTheInstallingUserAreServed) {
  HelperServerOptions options;
  options.allowedUserId = 4242;
  testing::RunningHelper helper(options);
  testing::openFoldersForEveryone(sb_.root(), fs::path(helper.socketPath()).parent_path());

  // As nobody: one refusal, then the connection closes.
  EXPECT_EQ(versionAsNobody(helper.socketPath()),
            "refused|Refused: user id 65534 may not use the privileged helper.|closed");

  // The user recorded at installation is served.
  HelperServerOptions forNobody;
  forNobody.allowedUserId = kNobodyUid;
  forNobody.socketPath = helper.socketPath();
  helper.server().stop();
  HelperServer second(forNobody);
  ASSERT_TRUE(second.start());
  EXPECT_EQ(versionAsNobody(helper.socketPath()), kHelperToolVersion);
}

TEST_F(HelperServerTest, BadInputGetsAnErrorReplyOrAClosedConnectionAndServiceGoesOn) {
  HelperServerOptions options;
  options.maxFrameSize = 4096;
  testing::RunningHelper helper(options);

  const struct {
    const char* name;
    std::string bytes;
    const char* reply;  // expected text in the reply; empty: none
    bool closes;
  } cases[] = {
      {"garbage body", std::string("\0\0\0\x05hello", 9), "Malformed message: not a binary", false},
      {"array body",
       encodeHelperFrame(PlistValue(PlistValue::Array{PlistValue("getHelperVersion")})),
       "Malformed message: the message is not a dictionary", false},
      {"wrong type",
       encodeHelperFrame(
           dict({{"operation", "handleEvent"}, {"event", "1"}, {"dictionary", dict({})}})),
       "\"event\" is missing or not a 32-bit integer", false},
      {"delete value of the wrong type",
       requestFrame(HelperRequest::Operation::handleEvent, 1, dict({{"/tmp/x", "0"}})),
       "The value of \"/tmp/x\" has the wrong type", false},
      {"frame over the limit", std::string("\0\0\x10\x01", 4),
       "Refused: a message of 4097 bytes is larger than the limit of 4096 bytes.", true},
      {"truncated frame", std::string("\0\0\0\x40half", 8), "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawHelperClient client(helper.socketPath());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send(c.bytes));
    if (c.reply[0] != '\0') {
      std::optional<std::string> body = client.readFrame();
      ASSERT_TRUE(body);
      std::optional<HelperReply> reply = decodeHelperReply(*body, nullptr);
      ASSERT_TRUE(reply);
      EXPECT_FALSE(reply->flag);
      EXPECT_EQ(reply->code, raw(HelperEventErrorID::NoCause));
      EXPECT_NE(reply->message.find(c.reply), std::string::npos) << reply->message;
      EXPECT_EQ(textAt(reply->information, "DeleteDesc"), reply->message);
    }
    if (!c.closes) {
      // The same connection goes on serving.
      ASSERT_TRUE(client.send(requestFrame(HelperRequest::Operation::getHelperVersion)));
      std::optional<std::string> body = client.readFrame();
      ASSERT_TRUE(body);
      std::optional<HelperReply> reply = decodeHelperReply(*body, nullptr);
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->message, kHelperToolVersion);
    }
    if (c.closes && c.reply[0] != '\0') {
      EXPECT_TRUE(client.closedByPeer());
    }
  }
  // Others are still served.
  std::shared_ptr<HelperProtocol> tool = connect(helper);
  ASSERT_TRUE(tool);
  testing::EventAnswer answer =
      callEvent(*tool, raw(HelperHanldeEventID::Delete), dict({{sb_.path("/nothing"), dict({})}}));
  ASSERT_TRUE(answer.answered);
  EXPECT_EQ(intAt(answer.information, "DeleteStatus"), raw(HelperEventErrorID::Success));
}

TEST_F(HelperServerTest, ShredMaintenanceAndClose) {
  testing::RunningHelper helper;
  std::shared_ptr<HelperProtocol> tool = connect(helper);
  ASSERT_TRUE(tool);

  // Shred: the answer maps each path to its own dictionary.
  const std::string secret = sb_.file("/Library/Caches/secret.txt", "secret");
  testing::EventAnswer shred = callEvent(*tool, raw(HelperHanldeEventID::Shred),
                                         dict({{secret, dict({})}, {"/etc/passwd", dict({})}}));
  ASSERT_TRUE(shred.answered);
  EXPECT_FALSE(shred.ok);
  EXPECT_EQ(shred.code, raw(HelperEventErrorID::ShreadFail));
  EXPECT_FALSE(fs::exists(secret));
  EXPECT_EQ(shred.information.find("DeleteStatus"), nullptr);
  ASSERT_NE(shred.information.find(secret), nullptr);
  EXPECT_EQ(intAt(*shred.information.find(secret), "DeleteStatus"), 1);
  ASSERT_NE(shred.information.find("/etc/passwd"), nullptr);
  EXPECT_EQ(intAt(*shred.information.find("/etc/passwd"), "DeleteStatus"),
            raw(HelperEventErrorID::ShreadFail));

  // The DNS cache: the paths table's tools run, in order.
  const std::string log = sb_.path("/tools.log");
  for (const char* name : {"dscacheutil", "killall", "mdutil"}) {
    const std::string program =
        sb_.file(std::string("/usr/bin/") + name,
                 "#!/bin/sh\necho " + std::string(name) + " \"$@\" >> '" + log + "'\n");
    ::chmod(program.c_str(), 0755);
  }
  testing::EventAnswer dns =
      callEvent(*tool, raw(HelperHanldeEventID::Maintenance), dict({{"OperationValue", 1}}));
  EXPECT_TRUE(dns.ok);
  testing::EventAnswer spotlight =
      callEvent(*tool, raw(HelperHanldeEventID::Maintenance), dict({{"OperationValue", 2}}));
  EXPECT_TRUE(spotlight.ok);
  EXPECT_EQ(readFile(log), "dscacheutil -flushcache\nkillall -HUP mDNSResponder\nmdutil -E /\n");
  fs::remove(sb_.path("/usr/bin/mdutil"));
  testing::EventAnswer missing =
      callEvent(*tool, raw(HelperHanldeEventID::Maintenance), dict({{"OperationValue", 2}}));
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(textAt(missing.information, "DeleteDesc"),
            "mdutil is not available at " + sb_.path("/usr/bin/mdutil"));

  // Moving and removing extensions.
  const std::string plugin = sb_.file("/Library/Internet Plug-Ins/a.plugin/x", "x");
  sb_.dir("/Library/Internet Plug-Ins (Disabled)");
  const std::string from = sb_.path("/Library/Internet Plug-Ins/a.plugin");
  const std::string to = sb_.path("/Library/Internet Plug-Ins (Disabled)/a.plugin");
  testing::EventAnswer move =
      callEvent(*tool, raw(HelperHanldeEventID::Maintenance),
                dict({{"OperationValue", 4}, {from, dict({{"ToPath", PlistValue(to)}})}}));
  EXPECT_TRUE(move.ok);
  EXPECT_TRUE(fs::exists(to + "/x"));
  testing::EventAnswer clean = callEvent(*tool, raw(HelperHanldeEventID::Maintenance),
                                         dict({{"OperationValue", 3}, {to, dict({})}}));
  EXPECT_TRUE(clean.ok);
  EXPECT_FALSE(fs::exists(to));

  // CloseHelper: answered, then the service ends.
  testing::EventAnswer close = callEvent(*tool, raw(HelperHanldeEventID::CloseHelper), dict({}));
  EXPECT_TRUE(close.ok);
  helper.server().wait();
  EXPECT_FALSE(helper.server().running());
  EXPECT_FALSE(fs::exists(helper.socketPath()));
}

TEST_F(HelperServerTest, UninstallRemovesTheInstalledFilesAndEnds) {
  HelperServerOptions options;
  const std::string program = sb_.file("/Library/PrivilegedHelperTools/x", "program");
  const std::string plist = sb_.file("/Library/LaunchDaemons/x.plist", "plist");
  options.uninstallPaths = {program, plist};
  testing::RunningHelper helper(options);
  std::shared_ptr<HelperProtocol> tool = connect(helper);
  ASSERT_TRUE(tool);
  std::promise<std::pair<bool, std::string>> answer;
  tool->uninstall([&answer](bool ok, std::string message) { answer.set_value({ok, message}); });
  auto [ok, message] = answer.get_future().get();
  EXPECT_TRUE(ok);
  EXPECT_EQ(message, "The helper was uninstalled.");
  EXPECT_FALSE(fs::exists(program));
  EXPECT_FALSE(fs::exists(plist));
  helper.server().wait();
}

TEST_F(HelperServerTest, ALostConnectionAnswersWaitingAndLaterCallsAsFailed) {
  testing::RunningHelper helper;
  std::shared_ptr<HelperConnection> connection = HelperConnection::connect(helper.socketPath());
  ASSERT_TRUE(connection);
  std::promise<void> invalidated;
  connection->setInvalidationHandler([&invalidated] { invalidated.set_value(); });
  std::atomic<int> errors{0};
  std::shared_ptr<HelperProtocol> tool =
      connection->remoteObjectProxyWithErrorHandler([&errors](const std::string&) { ++errors; });
  helper.server().stop();
  ASSERT_EQ(invalidated.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(connection->isValid());
  testing::EventAnswer answer = callEvent(*tool, raw(HelperHanldeEventID::Delete), dict({}));
  ASSERT_TRUE(answer.answered);
  EXPECT_FALSE(answer.ok);
  EXPECT_EQ(answer.code, raw(HelperEventErrorID::NoCause));
  EXPECT_EQ(textAt(answer.information, "DeleteDesc"), std::string(kHelperConnectionLostText));
  EXPECT_EQ(errors.load(), 1);
}

}  // namespace
}  // namespace orvexa
