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
#include "support/run_as.h"
#include "support/sandbox.h"
#include "support/shared_checks.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;

// Records the installation steps; each step's outcome is set by the test.
class FakeBlessing : public BlessingMechanism {
 public:
  bool authorization = true, rights = true;
  int blessCode = 0, blessCalls = 0, freeCalls = 0;

  bool createAuthorization() override { return authorization; }
  bool copyRights(const std::string&) override { return rights; }
  int blessJob(const std::string&, const std::string&) override { return ++blessCalls, blessCode; }
  void freeAuthorization() override { ++freeCalls; }
};

class PrivilegeHelperTest : public testing::HelperUsingTest {
 protected:
  void SetUp() override {
    HelperUsingTest::SetUp();
    Identity::shared().setBundleVersion("2.0");
    fake_ = std::make_shared<FakeBlessing>();
    PrivilegeHelper::shard().setBlessingMechanism(fake_);
    // As a user: privileged work needs the helper.
    PrivilegeHelper::shard().setInProcess(false);
    label_ = PrivilegeHelper::helperName();
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
  // stored: nullptr when nothing is; text: of getHelperTool, nothing serving the socket here.
  const struct {
    const char* name;
    bool files, reinstallFlag;
    const char *stored, *text;
  } cases[] = {
      {"both files, no flag, stale version", true, false, "1.0", kHelperNotRunningText},
      {"flag and stale version", true, true, "1.0", kHelperOutdatedText},
      {"flag and nothing stored", true, true, nullptr, kHelperOutdatedText},
      {"flag and current version", true, true, "2.0", kHelperNotRunningText},
      {"files missing", false, false, "2.0", kHelperNotInstalledText},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(sb_.path("/Library"));
    for (const std::string& file : {helperToolPath(label_), helperLaunchDaemonPlistPath(label_)})
      if (c.files) sb_.file(file.substr(sb_.root().size()), "x");
    Identity::shared().setReInstallHelper(c.reinstallFlag);
    UserDefaults& defaults = UserDefaults::standard();
    ASSERT_TRUE(c.stored ? defaults.set(label_ + "-Install", c.stored)
                         : defaults.remove(label_ + "-Install"));
    EXPECT_EQ(helperTool(), PrivilegeHelper::HelperTool(nullptr, c.text));
    EXPECT_EQ(fake_->blessCalls, 0) << "nothing installs on the way";
    EXPECT_FALSE(fs::exists(helperSocketPath(label_))) << "nothing starts on the way";
  }
}

TEST_F(PrivilegeHelperTest, AFailedInstallationReturnsItsTextAndStoresNothing) {
  const struct {
    const char* name;
    bool authorization, rights;
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
  // The real installer, for a user without root rights.
  if (!testing::canSwitchUser()) return;
  PrivilegeHelper::shard().setBlessingMechanism(nullptr);
  EXPECT_EQ(
      testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, [&] { return install(); }),
      "Get admain authorization fail!");
}

TEST_F(PrivilegeHelperTest, KeepsOneProxyAndConnectsAgainAfterALostConnection) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root";
  auto helper = std::make_unique<testing::RunningHelper>();
  PrivilegeHelper::HelperTool first = helperTool();
  ASSERT_TRUE(first.first) << first.second.value_or("");
  EXPECT_EQ(helperTool().first, first.first) << "the held proxy is reused";

  // The helper goes away: the connection is forgotten on the main queue.
  helper->server().stop();
  EXPECT_TRUE(testing::waitFor([] {
    MainQueue::sync([] {});
    return !PrivilegeHelper::shard().helpConnect() && !PrivilegeHelper::shard().helpTool();
  }));

  ASSERT_TRUE(helper->server().start());
  PrivilegeHelper::HelperTool next = helperTool();
  ASSERT_TRUE(next.first && next.first != first.first);
  std::promise<std::string> version;
  next.first->getHelperVersion([&version](std::string v) { version.set_value(v); });
  EXPECT_EQ(version.get_future().get(), kHelperToolVersion);
}

}  // namespace
}  // namespace orvexa
