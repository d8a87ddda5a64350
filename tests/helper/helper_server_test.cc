#include "orvexa/helper/helper_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

#include "orvexa/helper/helper_connection.h"
#include "orvexa/helper/helper_message.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/helper/privileged_file_operations.h"
#include "orvexa/platform/identity.h"
#include "support/helper_fixture.h"
#include "support/plist_values.h"
#include "support/run_as.h"
#include "support/sandbox.h"
#include "support/shared_checks.h"
#include "support/signal.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::callEvent;
using testing::kNobodyUid;
using testing::RawHelperClient;
using testing::readFile;
constexpr auto& plist = testing::plistDict;

int64_t intAt(const PlistValue& d, std::string_view key) {
  const PlistValue* v = d.find(key);
  return v != nullptr ? v->asInteger().value_or(-99) : -99;
}

std::string textAt(const PlistValue* d, std::string_view key) {
  const PlistValue* v = d != nullptr ? d->find(key) : nullptr;
  return v != nullptr && v->asString() != nullptr ? *v->asString() : "<none>";
}

std::string requestFrame(HelperRequest::Operation operation, int event = 0,
                         PlistValue dictionary = PlistValue::dictionary()) {
  return encodeHelperFrame(helperRequestToPlist({operation, event, std::move(dictionary)}));
}

std::optional<HelperReply> nextReply(RawHelperClient& client) {
  std::optional<std::string> body = client.readFrame();
  return body ? decodeHelperReply(*body, nullptr) : std::nullopt;
}

// Asks for the version: the version, or the refusal and whether the helper
// then closed the connection.
std::string askVersion(RawHelperClient& client) {
  // A refused peer may find the connection closed before its request goes
  // out; the refusal is still there to read.
  (void)client.send(requestFrame(HelperRequest::Operation::getHelperVersion));
  std::optional<HelperReply> reply = nextReply(client);
  if (!reply) return "no reply";
  if (reply->flag) return reply->message;
  return "refused|" + reply->message + (client.closedByPeer() ? "|closed" : "|open");
}
std::string askVersion(RawHelperClient&& client) { return askVersion(client); }

class HelperServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root";
    Identity::shared().setBundleIdentifier("org.orvexa.tests");
  }

  std::shared_ptr<HelperProtocol> connect(const testing::RunningHelper& helper) {
    connection_ = HelperConnection::connect(helper.socketPath());
    return connection_ ? connection_->remoteObjectProxyWithErrorHandler(nullptr) : nullptr;
  }

  testing::Sandbox sb_;
  std::shared_ptr<HelperConnection> connection_;
};

TEST_F(HelperServerTest, RemovesWhatTheUserCannotAndRefusesWhatItMayNotTouch) {
  testing::RunningHelper helper;
  // Root's file outside every folder the catalogue names; a file of another
  // user in a folder of root's. (Every other refusal: HelperPathTest.)
  const std::string stray = sb_.file("/opt/data/keep.db", 10);
  const std::string folder = sb_.dir("/Library/Caches/com.example.shared");
  const std::string file = sb_.file("/Library/Caches/com.example.shared/data.bin", 100);
  ASSERT_EQ(::chown(file.c_str(), kNobodyUid, testing::kNogroupGid), 0);
  std::shared_ptr<HelperProtocol> tool = connect(helper);
  ASSERT_TRUE(tool);
  testing::EventAnswer answer =
      callEvent(*tool, raw(HelperHanldeEventID::Delete),
                plist({{file, testing::deleteValue(file, plist({{"0", 0}, {"1", 4}}))},
                       {"/", plist({{"0", 1}})},
                       {stray, testing::deleteValue(stray, plist({{"0", 5}}))}}));
  EXPECT_TRUE(answer.answered && !answer.ok);
  EXPECT_EQ(answer.code, raw(HelperEventErrorID::DeleteError));
  EXPECT_EQ(intAt(answer.information, "DeleteStatus"), raw(HelperEventErrorID::Success));
  EXPECT_TRUE(!fs::exists(file) && fs::exists(folder) && fs::exists(stray));
  // Per path: its status and text, and the record number the request gave.
  std::string said;
  for (const std::string& path : {file, std::string("/"), stray}) {
    const PlistValue* entry = answer.information.find(path);
    said += std::to_string(intAt(*entry, "DeleteStatus")) + " " +
            std::to_string(intAt(*entry, "1")) + " " + textAt(entry, "Path") + " " +
            textAt(entry, "DeleteDesc") + "\n";
  }
  const auto refused = [](const std::string& path, const char* why) {
    return std::to_string(raw(HelperEventErrorID::DeleteError)) + " -99 " + path + " Refused: \"" +
           path + "\" " + why + "\n";
  };
  EXPECT_EQ(said, "1 4 " + file + " \n" + refused("/", "is a protected system location.") +
                      refused(stray,
                              "is outside the asking user's home and the system folders the "
                              "helper cleans."));

  // A shred answers per path and refuses protected ones; a folder only named
  // like the quarantine opens nothing outside the scope.
  const std::string secret = sb_.file("/Library/Caches/secret.txt", "secret");
  testing::EventAnswer shred = callEvent(*tool, raw(HelperHanldeEventID::Shred),
                                         plist({{secret, plist({})}, {"/etc/passwd", plist({})}}));
  EXPECT_TRUE(!shred.ok && shred.code == raw(HelperEventErrorID::ShreadFail) &&
              !fs::exists(secret));
  EXPECT_EQ(intAt(*shred.information.find(secret), "DeleteStatus"), 1);
  EXPECT_EQ(intAt(*shred.information.find("/etc/passwd"), "DeleteStatus"),
            raw(HelperEventErrorID::ShreadFail));
  const std::string fake = sb_.file("/opt/.orvexa-quarantine/0/x", "x");
  testing::EventAnswer clean =
      callEvent(*tool, raw(HelperHanldeEventID::Maintenance),
                plist({{"OperationValue", 3}, {fake, testing::deleteValue(fake, plist({}))}}));
  EXPECT_EQ(textAt(clean.information.find(fake), "DeleteDesc"),
            "Refused: \"" + fake + "\" is in no quarantine folder of the helper's");
}

// Root and the user recorded at installation are served; anyone else gets
// one refusal, then the connection closes.
TEST_F(HelperServerTest, OnlyRootAndTheInstallingUserAreServed) {
  for (const uid_t allowed : {uid_t{4242}, kNobodyUid}) {
    HelperServerOptions options;
    options.allowedUserId = allowed;
    testing::RunningHelper helper(options);
    testing::openFoldersForEveryone(sb_.root(), fs::path(helper.socketPath()).parent_path());
    EXPECT_EQ(askVersion(RawHelperClient(helper.socketPath())), kHelperToolVersion);
    const std::optional<std::string> seen =
        testing::runAsUser(kNobodyUid, testing::kNogroupGid,
                           [&helper] { return askVersion(RawHelperClient(helper.socketPath())); });
    EXPECT_EQ(seen, allowed == kNobodyUid
                        ? kHelperToolVersion
                        : "refused|Refused: the privileged helper was installed for user id 4242; "
                          "user id 65534 may not use it.|closed");
  }
}

TEST_F(HelperServerTest, BadInputGetsAnErrorReplyOrAClosedConnectionAndServiceGoesOn) {
  HelperServerOptions options;
  options.maxFrameSize = 4096;
  testing::RunningHelper helper(options);
  // Per case: the bytes sent, the text expected in the reply ("": none) and
  // whether the connection closes.
  const std::tuple<const char*, std::string, const char*, bool> cases[] = {
      {"garbage body", std::string("\0\0\0\x05hello", 9), "Malformed message: not a binary", false},
      {"delete value of the wrong type",
       requestFrame(HelperRequest::Operation::handleEvent, 1, plist({{"/tmp/x", "0"}})),
       "The value of \"/tmp/x\" has the wrong type", false},
      {"frame over the limit", std::string("\0\0\x10\x01", 4),
       "Refused: a message of 4097 bytes is larger than the limit of 4096 bytes.", true},
      {"truncated frame", std::string("\0\0\0\x40half", 8), "", true},
  };
  for (const auto& [name, bytes, expected, closes] : cases) {
    SCOPED_TRACE(name);
    RawHelperClient client(helper.socketPath());
    ASSERT_TRUE(client.send(bytes));
    if (expected[0] != '\0') {
      std::optional<HelperReply> reply = nextReply(client);
      ASSERT_TRUE(reply && !reply->flag && reply->code == raw(HelperEventErrorID::NoCause));
      EXPECT_NE(reply->message.find(expected), std::string::npos) << reply->message;
      EXPECT_EQ(textAt(&reply->information, "DeleteDesc"), reply->message);
    }
    if (closes) {
      EXPECT_TRUE(expected[0] == '\0' || client.closedByPeer());
    } else {
      EXPECT_EQ(askVersion(client), kHelperToolVersion) << "the connection goes on";
    }
  }
  EXPECT_EQ(askVersion(RawHelperClient(helper.socketPath())), kHelperToolVersion)
      << "others are still served";
}

// A long Delete is cut short at its next item, by a stop asked on another
// connection or by its own client going away: what it had not reached
// stays, and the stop answers only once the work has stopped, saying how
// far it came.
TEST_F(HelperServerTest, AStopOrALostClientCancelsTheWorkInFlight) {
  constexpr int kItems = 40;
  for (const bool byStop : {true, false}) {
    SCOPED_TRACE(byStop ? "stop" : "client gone");
    testing::Signal started, cancelled;
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
    for (int i = 0; i < kItems; ++i) {
      const std::string file = sb_.file("/Library/Caches/slow/f" + std::to_string(i), 1);
      items.set(file, testing::deleteValue(file, plist({{"0", i}})));
    }
    const std::string slow = sb_.path("/Library/Caches/slow");
    const auto left = [&slow] { return std::distance(fs::directory_iterator(slow), {}); };
    auto client = std::make_unique<RawHelperClient>(helper.socketPath());
    ASSERT_TRUE(client->send(requestFrame(HelperRequest::Operation::handleEvent, 1, items)));
    ASSERT_TRUE(started.wait());
    if (byStop) {
      std::shared_ptr<HelperProtocol> tool = connect(helper);
      ASSERT_TRUE(tool);
      const PlistValue said =
          callEvent(*tool, raw(HelperHanldeEventID::CloseHelper), plist({})).information;
      EXPECT_EQ(textAt(&said, "DeleteDesc"), "Stopped after " + std::to_string(kItems - left()) +
                                                 " of 40 items in progress; the other " +
                                                 std::to_string(left()) + " were not touched.");
      std::optional<HelperReply> reply = nextReply(*client);
      ASSERT_TRUE(reply && !reply->flag);
      EXPECT_EQ(textAt(reply->information.find(slow + "/f39"), "DeleteDesc"),
                "Not done: the helper was stopped.");
    } else {
      client.reset();
      ASSERT_TRUE(cancelled.wait());
    }
    const auto stoppedAt = left();
    EXPECT_GT(stoppedAt, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(left(), stoppedAt) << "nothing more is removed after the stop";
  }
}

// The socket is taken over only from a helper that is gone: whatever else
// is at its path is refused in words and left as it was.
TEST_F(HelperServerTest, TakesOverOnlyAStaleSocket) {
  const std::string path = sb_.dir("/var/run") + "/h.socket";
  HelperServerOptions options;
  options.socketPath = sb_.path("/var/run/live.socket");
  HelperServer live(options);
  options.socketPath = path;
  ASSERT_TRUE(live.start());
  // Per case: what is made at the path, and the refusal ("": taken over).
  const std::tuple<const char*, std::function<void()>, const char*> cases[] = {
      {"a socket nothing accepts on",
       [&] {
         HelperServer dead(options);
         ASSERT_TRUE(dead.start());
         fs::create_hard_link(path, path + ".kept");
         dead.stop();  // removes its own socket file: put the name back
         fs::rename(path + ".kept", path);
       },
       ""},
      {"a live helper's socket",
       [&] { fs::create_hard_link(sb_.path("/var/run/live.socket"), path); },
       ": another helper is already serving there"},
      {"a regular file", [&] { sb_.file("/var/run/h.socket", "not a socket"); },
       ": exists and is not a socket"},
      {"a link to a live socket",
       [&] { fs::create_symlink(sb_.path("/var/run/live.socket"), path); },
       ": exists and is not a socket"},
  };
  for (const auto& [name, make, refusal] : cases) {
    SCOPED_TRACE(name);
    fs::remove(path);
    make();
    const auto before = fs::symlink_status(path).type();
    HelperServer server(options);
    std::string why;
    // Taken over: the new helper serves there; refused: left as it was.
    if (server.start(&why)) why = askVersion(RawHelperClient(path));
    EXPECT_EQ(why, *refusal ? path + refusal : std::string(kHelperToolVersion));
    EXPECT_TRUE(!*refusal || fs::symlink_status(path).type() == before);
  }
  EXPECT_TRUE(fs::is_socket(sb_.path("/var/run/live.socket")));
}

// Connections past the limit get one refusal and are closed; a place that
// frees up is taken again.
TEST_F(HelperServerTest, ConnectionsPastTheLimitAreRefusedUntilOneCloses) {
  HelperServerOptions options;
  options.maxConnections = 2;
  testing::RunningHelper helper(options);
  auto first = std::make_unique<RawHelperClient>(helper.socketPath());
  RawHelperClient second(helper.socketPath());
  EXPECT_EQ(askVersion(*first) + askVersion(second),
            std::string(kHelperToolVersion) + kHelperToolVersion);
  RawHelperClient third(helper.socketPath());
  std::optional<HelperReply> refusal = nextReply(third);
  ASSERT_TRUE(refusal && !refusal->flag) << "the refusal comes unasked";
  EXPECT_EQ(refusal->message, "Refused: the helper is serving too many connections.");
  EXPECT_TRUE(third.closedByPeer());
  EXPECT_EQ(askVersion(*first), kHelperToolVersion) << "those served go on";
  first.reset();
  EXPECT_TRUE(testing::waitFor(
      [&] { return askVersion(RawHelperClient(helper.socketPath())) == kHelperToolVersion; }));
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
  const int lostBefore = errors.load();
  testing::EventAnswer answer = callEvent(*tool, raw(HelperHanldeEventID::Delete), plist({}));
  EXPECT_TRUE(answer.answered && !answer.ok && answer.code == raw(HelperEventErrorID::NoCause));
  EXPECT_EQ(textAt(&answer.information, "DeleteDesc"), std::string(kHelperConnectionLostText));
  EXPECT_EQ(errors.load(), lostBefore + 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(answers.load(), kCalls) << "no call is answered twice";
}

// Several threads share the one proxy of PrivilegeHelper: every call is
// answered once, with the answer to its own request.
TEST(HelperConcurrencyTest, CallsFromManyThreadsGetTheirOwnAnswers) {
  testing::Sandbox sb;
  Identity::shared().setBundleIdentifier("org.orvexa.tests");
  testing::RunningHelper helper;
  constexpr int kThreads = 4, kCalls = 15;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        PrivilegeHelper::HelperTool tool = PrivilegeHelper::shard().getHelperTool(
            PrivilegeHelper::helperName(), kSMDomainSystemLaunchd);
        if (!tool.first && ++wrong) continue;
        const std::string path =
            sb.file("/Library/Caches/t" + std::to_string(t) + "/f" + std::to_string(i), 3);
        testing::EventAnswer answer =
            callEvent(*tool.first, raw(HelperHanldeEventID::Delete),
                      plist({{path, testing::deleteValue(path, plist({{"0", i}}))}}));
        const PlistValue* entry = answer.information.find(path);
        const PlistValue* number = entry != nullptr ? entry->find("0") : nullptr;
        if (!answer.ok || number == nullptr || number->asInteger() != i) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  // Only the threads' folders are left.
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(sb.path("/Library/Caches")), {}),
            kThreads);
}

TEST(PrivilegedFileOperationsTest, ShreddingOverwritesThroughTheItemAndAMoveReplacesNothing) {
  testing::TempDir inside, outside;
  // Hard links show what was written into the shredded files.
  const std::string file = inside.writeFile("secret.txt", "top secret!");
  fs::create_hard_link(file, outside / "secret-witness");
  inside.writeFile("folder/one.txt", std::string(300, 'a'));
  fs::create_hard_link(inside.writeFile("folder/sub/two.txt", std::string(5000, 'b')),
                       outside / "two-witness");
  const std::string outsideFile = outside.writeFile("linked.txt", "do not touch");
  fs::create_symlink(outsideFile, inside / "folder/link");

  bool shredFailed = true;
  for (const std::string& item : {file, inside / "folder"}) {
    FileStatus status = shredItemWithoutFollowing(item, &shredFailed, {}, true);
    EXPECT_TRUE(status.ok() && !shredFailed && !testing::existsNoFollow(item)) << status.message();
  }
  EXPECT_EQ(readFile(outside / "secret-witness") + readFile(outside / "two-witness") +
                readFile(outsideFile),
            std::string(11 + 5000, '\0') + "do not touch");

  // Without leave, a hard-linked file stays as it was.
  fs::create_hard_link(inside.writeFile("linked", "shared"), outside / "linked-witness");
  EXPECT_FALSE(shredItemWithoutFollowing(inside / "linked", &shredFailed).ok());
  EXPECT_TRUE(shredFailed && readFile(inside / "linked") == "shared");

  // A move never replaces what is there. (A move into a free name:
  // MaintenanceHelperTest, through the helper.)
  const std::string a = inside / "Spotlight/a.mdimporter";
  const std::string b = inside.writeFile("Spotlight/b.mdimporter", "b");
  inside.writeFile("Spotlight/a.mdimporter/Info.plist", "a");
  EXPECT_EQ(moveItemWithoutFollowing(b, a).code(), EEXIST);
  EXPECT_EQ(readFile(b) + readFile(a + "/Info.plist"), "ba");
}

}  // namespace
}  // namespace orvexa
