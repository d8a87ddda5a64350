#include "orvexa/helper/privilege_helper.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "orvexa/helper/helper_message.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/user_defaults.h"
#include "orvexa/units/main_queue.h"
#include "support/helper_fixture.h"
#include "support/plist_values.h"
#include "support/run_as.h"
#include "support/sandbox.h"
#include "support/shared_checks.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;

// Records the installation steps; each step's outcome is set by the test.
class FakeBlessing : public BlessingMechanism {
 public:
  bool authorization = true;
  bool rights = true;
  int blessCode = 0;
  int blessCalls = 0;
  int freeCalls = 0;

  bool createAuthorization() override { return authorization; }
  bool copyRights(const std::string&) override { return rights; }
  int blessJob(const std::string&, const std::string&) override { return ++blessCalls, blessCode; }
  void freeAuthorization() override { ++freeCalls; }
};

class PrivilegeHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Identity::shared().setBundleIdentifier("org.orvexa.tests");
    Identity::shared().setBundleVersion("2.0");
    fake_ = std::make_shared<FakeBlessing>();
    PrivilegeHelper::shard().setBlessingMechanism(fake_);
    // As a user: privileged work needs the helper.
    PrivilegeHelper::shard().setInProcess(false);
    label_ = PrivilegeHelper::helperName();
  }
  void TearDown() override {
    PrivilegeHelper::shard().close();
    PrivilegeHelper::shard().setBlessingMechanism(nullptr);
    PrivilegeHelper::shard().setInProcess(std::nullopt);
  }

  PrivilegeHelper::HelperTool helperTool() {
    return PrivilegeHelper::shard().getHelperTool(label_, kSMDomainSystemLaunchd);
  }
  std::string install() {
    return PrivilegeHelper::shard().installPrivilege(kSMDomainSystemLaunchd, label_).content();
  }

  testing::Sandbox sb_;
  std::shared_ptr<FakeBlessing> fake_;
  std::string label_;
};

// Whether the installed helper is usable follows the files, the flag and the
// stored version; getHelperTool never installs, and says what to run.
TEST_F(PrivilegeHelperTest, UsabilityFollowsTheFilesTheFlagAndTheStoredVersion) {
  const struct {
    const char* name;
    bool files;
    bool reinstallFlag;
    const char* stored;  // nullptr: nothing stored
    const char* text;    // of getHelperTool; nothing serves the socket here
  } cases[] = {
      {"both files, no flag, stale version", true, false, "1.0", kHelperNotRunningText},
      {"both files, no flag, nothing stored", true, false, nullptr, kHelperNotRunningText},
      {"flag and stale version", true, true, "1.0", kHelperOutdatedText},
      {"flag and nothing stored", true, true, nullptr, kHelperOutdatedText},
      {"flag and current version", true, true, "2.0", kHelperNotRunningText},
      {"files missing", false, false, "2.0", kHelperNotInstalledText},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(sb_.path("/Library"));
    for (const std::string& file : {helperToolPath(label_), helperLaunchDaemonPlistPath(label_)}) {
      if (c.files) sb_.file(file.substr(sb_.root().size()), "x");
    }
    Identity::shared().setReInstallHelper(c.reinstallFlag);
    if (c.stored != nullptr) {
      ASSERT_TRUE(UserDefaults::standard().set(label_ + "-Install", c.stored));
    } else {
      ASSERT_TRUE(UserDefaults::standard().remove(label_ + "-Install"));
    }
    EXPECT_EQ(PrivilegeHelper::shard().checkHelper(label_),
              std::string(c.text) == kHelperNotRunningText);
    EXPECT_EQ(helperTool(), PrivilegeHelper::HelperTool(nullptr, c.text));
    EXPECT_EQ(fake_->blessCalls, 0) << "nothing installs on the way";
    EXPECT_FALSE(fs::exists(helperSocketPath(label_))) << "nothing starts on the way";
  }
  // The defaults live in the user's Preferences folder.
  EXPECT_EQ(UserDefaults::standard().path(),
            sb_.path("~/Library/Preferences/org.orvexa.tests.plist"));
}

TEST_F(PrivilegeHelperTest, AFailedInstallationReturnsItsTextAndStoresNothing) {
  const struct {
    const char* name;
    bool authorization;
    bool rights;
    int code;
    const char* text;
  } cases[] = {
      {"authorization", false, true, 0, "Create authorization fail!"},
      {"rights", true, false, 0, "Get admain authorization fail!"},
      {"bless 8", true, true, 8, "bless unknown error:8"},
      {"bless 5", true, true, 5, "blessError: kSMErrorToolNotValid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(UserDefaults::standard().remove(label_ + "-Install"));
    fake_->authorization = c.authorization;
    fake_->rights = c.rights;
    fake_->blessCode = c.code;
    fake_->freeCalls = 0;
    EXPECT_EQ(install(), c.text);
    EXPECT_EQ(fake_->freeCalls, 1) << "the authorisation is always freed";
    EXPECT_FALSE(UserDefaults::standard().string(label_ + "-Install"));
  }
}

TEST_F(PrivilegeHelperTest, WithoutRootRightsTheInstallerFailsWithTheAdminText) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root";
  PrivilegeHelper::shard().setBlessingMechanism(nullptr);
  std::optional<std::string> text =
      testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, [&] { return install(); });
  EXPECT_EQ(text, "Get admain authorization fail!");
}

TEST_F(PrivilegeHelperTest, KeepsOneProxyAndConnectsAgainAfterALostConnection) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root";
  auto helper = std::make_unique<testing::RunningHelper>();
  PrivilegeHelper::HelperTool first = helperTool();
  ASSERT_TRUE(first.first) << first.second.value_or("");
  PrivilegeHelper::HelperTool again = helperTool();
  EXPECT_EQ(again.first, first.first) << "the held proxy is reused";
  EXPECT_EQ(fake_->blessCalls, 0);

  // The helper goes away: the connection is forgotten on the main queue.
  helper->server().stop();
  EXPECT_TRUE(testing::waitFor([] {
    MainQueue::sync([] {});
    return !PrivilegeHelper::shard().helpConnect();
  }));
  EXPECT_FALSE(PrivilegeHelper::shard().helpTool());

  ASSERT_TRUE(helper->server().start());
  PrivilegeHelper::HelperTool next = helperTool();
  ASSERT_TRUE(next.first);
  EXPECT_NE(next.first, first.first);
  std::promise<std::string> version;
  next.first->getHelperVersion([&version](std::string v) { version.set_value(v); });
  EXPECT_EQ(version.get_future().get(), kHelperToolVersion);

  // closeHelper ends the helper.
  PrivilegeHelper::shard().closeHelper();
  helper->server().wait();
  EXPECT_FALSE(helper->server().running());
}

// The real installer, with the built helper program, inside the sandbox.
TEST_F(PrivilegeHelperTest, TheLaunchDaemonInstallerInstallsAndStartsTheProgram) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root";
  const std::string program = std::string(ORVEXA_BINARY_DIR) + "/bin/orvexa-helper";
  if (!fs::exists(program)) GTEST_SKIP() << "no helper program at " << program;
  auto installer = std::make_shared<LaunchDaemonInstaller>(program);
  installer->setAllowedUserId(4242);
  PrivilegeHelper::shard().setBlessingMechanism(installer);
  // Whatever happens below, the started program does not outlive the test.
  struct EndHelper {
    std::string socket;
    ~EndHelper() {
      testing::RawHelperClient client(socket);
      const HelperRequest request{HelperRequest::Operation::handleEvent,
                                  raw(HelperHanldeEventID::CloseHelper), PlistValue()};
      if (client.send(encodeHelperFrame(helperRequestToPlist(request)))) (void)client.readFrame();
    }
  } endHelper{helperSocketPath(label_)};

  ASSERT_EQ(install(), "");
  PrivilegeHelper::HelperTool tool = helperTool();
  ASSERT_TRUE(tool.first) << tool.second.value_or("");
  EXPECT_TRUE(fs::exists(helperToolPath(label_)));
  std::optional<PlistValue> plist = readPlistFile(helperLaunchDaemonPlistPath(label_));
  ASSERT_TRUE(plist);
  for (const auto& [key, value] : {std::pair<std::string, PlistValue>{"Label", label_},
                                   {"Program", helperToolPath(label_)},
                                   {"SocketPath", helperSocketPath(label_)},
                                   {"AllowedUserID", 4242},
                                   {"RootFolder", sb_.root()}}) {
    EXPECT_EQ(*plist->find(key), value) << key;
  }
  EXPECT_EQ(UserDefaults::standard().string(label_ + "-Install"), "2.0");

  // The separate program deletes a file of another user, under its root.
  const std::string file = sb_.file("/Library/Caches/shared/f", 10);
  ASSERT_EQ(::chown(file.c_str(), testing::kNobodyUid, testing::kNogroupGid), 0);
  EXPECT_TRUE(
      testing::callEvent(
          *tool.first, 1,
          testing::plistDict({{file, testing::deleteValue(file, testing::plistDict({{"0", 0}}))}}))
          .ok);
  EXPECT_FALSE(fs::exists(file));

  // Installing again replaces the running helper.
  ASSERT_EQ(install(), "");

  // Uninstalling removes its files and ends it.
  PrivilegeHelper::HelperTool current = helperTool();
  ASSERT_TRUE(current.first);
  std::promise<std::pair<bool, std::string>> removed;
  current.first->uninstall([&removed](bool ok, std::string text) {
    removed.set_value({ok, text});
  });
  EXPECT_EQ(removed.get_future().get(),
            std::make_pair(true, std::string("The helper was uninstalled.")));
  EXPECT_FALSE(fs::exists(helperToolPath(label_)));
  EXPECT_FALSE(fs::exists(helperLaunchDaemonPlistPath(label_)));
  EXPECT_TRUE(testing::waitFor([&] { return !fs::exists(helperSocketPath(label_)); }))
      << "and the program ends";
}

}  // namespace
}  // namespace orvexa
