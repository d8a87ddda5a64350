#include "orvexa/helper/helper_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "orvexa/helper/helper_connection.h"
#include "orvexa/helper/helper_message.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "support/helper_fixture.h"
#include "support/run_as.h"
#include "support/sandbox.h"
#include "support/signal.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::callEvent;
using testing::kNobodyUid;
using testing::RawHelperClient;

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

// Asks for the version on a raw connection: the reply's message.
std::string version(RawHelperClient& client) {
  if (!client.send(requestFrame(HelperRequest::Operation::getHelperVersion))) return "unsent";
  std::optional<std::string> body = client.readFrame();
  std::optional<HelperReply> reply = body ? decodeHelperReply(*body, nullptr) : std::nullopt;
  return reply ? reply->message : "no reply";
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

TEST_F(HelperServerTest, DeletesWhatTheUserCannotAndRefusesWhatItMayNotTouch) {
  testing::RunningHelper helper;
  // Root's files outside every folder the catalogue names, and another
  // user's home.
  const std::string stray = sb_.file("/opt/data/keep.db", 10);
  const std::string alices = sb_.file("/Users/alice/Documents/keep.txt", 10);
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
                      {"/etc/passwd", dict({{"0", 3}})},
                      {stray, testing::deleteValue(stray, dict({{"0", 5}}))},
                      {alices, testing::deleteValue(alices, dict({{"0", 6}}))}}));
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
  for (const std::string& path : {stray, alices}) {
    SCOPED_TRACE(path);
    const PlistValue* refused = answer.information.find(path);
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(textAt(*refused, "DeleteDesc"),
              "Refused: \"" + path +
                  "\" is outside the asking user's home and the system folders the helper "
                  "cleans.");
    EXPECT_TRUE(fs::exists(path));
  }

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
            "refused|Refused: the privileged helper was installed for user id 4242; user id "
            "65534 may not use it.|closed");

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

  // A maintenance tool that is not there fails in words. (The tools that are
  // there run in order: OptimizationServiceTest, through this server.)
  testing::EventAnswer missing =
      callEvent(*tool, raw(HelperHanldeEventID::Maintenance), dict({{"OperationValue", 2}}));
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(textAt(missing.information, "DeleteDesc"),
            "mdutil is not available at " + sb_.path("/usr/bin/mdutil"));

  // Moving and removing extensions.
  const std::string plugin = sb_.file("/Library/Internet Plug-Ins/a.plugin/x", "x");
  sb_.dir("/Library/Internet Plug-Ins Disabled");
  const std::string from = sb_.path("/Library/Internet Plug-Ins/a.plugin");
  const std::string to = sb_.path("/Library/Internet Plug-Ins Disabled/a.plugin");
  testing::EventAnswer move =
      callEvent(*tool, raw(HelperHanldeEventID::Maintenance),
                dict({{"OperationValue", 4}, {from, dict({{"ToPath", PlistValue(to)}})}}));
  EXPECT_TRUE(move.ok);
  EXPECT_TRUE(fs::exists(to + "/x"));
  testing::EventAnswer clean = callEvent(*tool, raw(HelperHanldeEventID::Maintenance),
                                         dict({{"OperationValue", 3}, {to, dict({})}}));
  EXPECT_TRUE(clean.ok);
  EXPECT_FALSE(fs::exists(to));
  // A folder only named like the quarantine opens nothing outside the scope.
  const std::string fake = sb_.file("/opt/.orvexa-quarantine/x", "x");
  clean = callEvent(*tool, raw(HelperHanldeEventID::Maintenance),
                    dict({{"OperationValue", 3}, {fake, dict({})}}));
  EXPECT_EQ(textAt(*clean.information.find(fake), "DeleteDesc"),
            "Refused: \"" + fake + "\" is in no quarantine folder of the helper's");

  // CloseHelper: answered, then the service ends.
  testing::EventAnswer close = callEvent(*tool, raw(HelperHanldeEventID::CloseHelper), dict({}));
  EXPECT_TRUE(close.ok);
  EXPECT_EQ(textAt(close.information, "DeleteDesc"), "Stopped; no work was in progress.");
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

// A long Delete is cut short at its next item, by a stop asked on another
// connection or by its own client going away: what it had not reached
// stays, and the stop answers only once the work has stopped, saying how
// far it came.
TEST_F(HelperServerTest, AStopOrALostClientCancelsTheWorkInFlight) {
  constexpr int kItems = 40;
  for (const bool byStop : {true, false}) {
    SCOPED_TRACE(byStop ? "stop" : "client gone");
    testing::Signal started;
    testing::Signal cancelled;
    HelperServerOptions options;
    options.walkHook = [&started](const std::string& path, size_t) {
      if (path.find("/slow/") == std::string::npos) return;
      started.notify();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    options.log = [&cancelled](const std::string& line) {
      if (line.rfind("stopped after", 0) == 0) cancelled.notify();
    };
    testing::RunningHelper helper(options);
    PlistValue items = PlistValue::dictionary();
    std::vector<std::string> files;
    for (int i = 0; i < kItems; ++i) {
      files.push_back(sb_.file("/Library/Caches/slow/f" + std::to_string(i), 1));
      items.set(files.back(), testing::deleteValue(files.back(), dict({{"0", i}})));
    }
    auto client = std::make_unique<RawHelperClient>(helper.socketPath());
    ASSERT_TRUE(client->send(requestFrame(HelperRequest::Operation::handleEvent, 1, items)));
    ASSERT_TRUE(started.wait());
    std::string said;
    if (byStop) {
      std::shared_ptr<HelperProtocol> tool = connect(helper);
      ASSERT_TRUE(tool);
      said = textAt(callEvent(*tool, raw(HelperHanldeEventID::CloseHelper), dict({})).information,
                    "DeleteDesc");
    } else {
      client.reset();
      ASSERT_TRUE(cancelled.wait());
    }
    int left = 0;
    for (const std::string& file : files) left += fs::exists(file) ? 1 : 0;
    EXPECT_GT(left, 0);
    if (byStop) {
      const int reached = kItems - left;
      EXPECT_EQ(said, "Stopped after " + std::to_string(reached) +
                          " of 40 items in progress; the other " + std::to_string(left) +
                          " were not touched.");
      std::optional<std::string> body = client->readFrame();
      ASSERT_TRUE(body);
      std::optional<HelperReply> reply = decodeHelperReply(*body, nullptr);
      ASSERT_TRUE(reply);
      EXPECT_FALSE(reply->flag);
      EXPECT_EQ(textAt(*reply->information.find(files.back()), "DeleteDesc"),
                "Not done: the helper was stopped.");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int later = 0;
    for (const std::string& file : files) later += fs::exists(file) ? 1 : 0;
    EXPECT_EQ(later, left) << "nothing more is removed after the stop";
  }
}

// The socket is taken over only from a helper that is gone: whatever else
// is at its path is refused in words and left as it was.
TEST_F(HelperServerTest, TakesOverOnlyAStaleSocket) {
  const std::string path = sb_.path("/var/run/h.socket");
  sb_.dir("/var/run");
  HelperServerOptions options;
  options.socketPath = path;
  HelperServerOptions elsewhere;
  elsewhere.socketPath = sb_.path("/var/run/live.socket");
  HelperServer live(elsewhere);
  ASSERT_TRUE(live.start());
  const struct {
    const char* name;
    std::function<void()> make;
    const char* refusal;  // empty: taken over
  } cases[] = {
      {"a socket nothing accepts on",
       [&] {
         HelperServer dead(options);
         ASSERT_TRUE(dead.start());
         fs::create_hard_link(path, path + ".kept");
         dead.stop();  // removes its own socket file: put the name back
         fs::rename(path + ".kept", path);
       },
       ""},
      {"a live helper's socket", [&] { fs::create_hard_link(elsewhere.socketPath, path); },
       ": another helper is already serving there"},
      {"a regular file", [&] { sb_.file("/var/run/h.socket", "not a socket"); },
       ": exists and is not a socket"},
      {"a link to a live socket", [&] { fs::create_symlink(elsewhere.socketPath, path); },
       ": exists and is not a socket"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(path);
    c.make();
    const auto before = fs::symlink_status(path).type();
    HelperServer server(options);
    std::string why;
    EXPECT_EQ(server.start(&why), c.refusal[0] == '\0') << why;
    if (c.refusal[0] != '\0') {
      EXPECT_EQ(why, path + c.refusal);
      EXPECT_EQ(fs::symlink_status(path).type(), before) << "left as it was";
    } else {
      RawHelperClient client(path);
      EXPECT_EQ(version(client), kHelperToolVersion) << "the new helper serves there";
    }
  }
  EXPECT_TRUE(fs::is_socket(elsewhere.socketPath));
}

// Connections past the limit get one refusal and are closed; a place that
// frees up is taken again.
TEST_F(HelperServerTest, ConnectionsPastTheLimitAreRefusedUntilOneCloses) {
  HelperServerOptions options;
  options.maxConnections = 2;
  testing::RunningHelper helper(options);
  std::vector<std::unique_ptr<RawHelperClient>> held;
  for (int i = 0; i < 2; ++i) {
    held.push_back(std::make_unique<RawHelperClient>(helper.socketPath()));
    EXPECT_EQ(version(*held.back()), kHelperToolVersion);
  }
  RawHelperClient third(helper.socketPath());
  std::optional<std::string> body = third.readFrame();
  ASSERT_TRUE(body) << "the refusal comes unasked";
  std::optional<HelperReply> refusal = decodeHelperReply(*body, nullptr);
  ASSERT_TRUE(refusal);
  EXPECT_FALSE(refusal->flag);
  EXPECT_EQ(refusal->message, "Refused: the helper is serving too many connections.");
  EXPECT_TRUE(third.closedByPeer());
  EXPECT_EQ(version(*held.front()), kHelperToolVersion) << "those served go on";

  held.front().reset();
  std::string seen;
  for (int i = 0; i < 100 && seen != kHelperToolVersion; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    RawHelperClient next(helper.socketPath());
    seen = version(next);
  }
  EXPECT_EQ(seen, kHelperToolVersion);
}

// The helper ends while calls are under way: each call gets exactly one
// answer, its own or "connection lost"; later calls fail at once.
TEST_F(HelperServerTest, WhenTheHelperEndsEveryCallIsAnsweredOnce) {
  testing::RunningHelper helper;
  std::shared_ptr<HelperConnection> connection = HelperConnection::connect(helper.socketPath());
  ASSERT_TRUE(connection);
  std::promise<void> invalidated;
  connection->setInvalidationHandler([&invalidated] { invalidated.set_value(); });
  std::atomic<int> errors{0};
  std::shared_ptr<HelperProtocol> tool =
      connection->remoteObjectProxyWithErrorHandler([&errors](const std::string&) { ++errors; });
  constexpr int kCalls = 200;
  std::atomic<int> answers{0};
  testing::Signal all;
  std::thread caller([&] {
    for (int i = 0; i < kCalls; ++i) {
      tool->getHelperVersion([&](std::string) {
        if (++answers == kCalls) all.notify();
      });
    }
  });
  helper.server().stop();
  caller.join();
  EXPECT_TRUE(all.wait());
  ASSERT_EQ(invalidated.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(connection->isValid());
  const int lostBefore = errors.load();
  testing::EventAnswer answer = callEvent(*tool, raw(HelperHanldeEventID::Delete), dict({}));
  ASSERT_TRUE(answer.answered);
  EXPECT_FALSE(answer.ok);
  EXPECT_EQ(answer.code, raw(HelperEventErrorID::NoCause));
  EXPECT_EQ(textAt(answer.information, "DeleteDesc"), std::string(kHelperConnectionLostText));
  EXPECT_EQ(errors.load(), lostBefore + 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(answers.load(), kCalls) << "no call is answered twice";
}

}  // namespace
}  // namespace orvexa
