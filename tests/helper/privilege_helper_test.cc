#include "orvexa/helper/privilege_helper.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <tuple>

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
  std::shared_ptr<FakeBlessing> fake_ = std::make_shared<FakeBlessing>();
  std::string label_;
};

// Whether the installed helper is usable follows the files, the flag and the
// stored version; getHelperTool never installs, and says what to run.
TEST_F(PrivilegeHelperTest, UsabilityFollowsTheFilesTheFlagAndTheStoredVersion) {
  // Per case: whether the files are there, the reinstall flag, the version
  // stored (nullptr: none) and the text of getHelperTool, nothing serving
  // the socket here.
  const std::tuple<const char*, bool, bool, const char*, const char*> cases[] = {
      {"both files, no flag, stale version", true, false, "1.0", kHelperNotRunningText},
      {"flag and stale version", true, true, "1.0", kHelperOutdatedText},
      {"flag and nothing stored", true, true, nullptr, kHelperOutdatedText},
      {"flag and current version", true, true, "2.0", kHelperNotRunningText},
      {"files missing", false, false, "2.0", kHelperNotInstalledText},
  };
  for (const auto& [name, files, reinstallFlag, stored, text] : cases) {
    SCOPED_TRACE(name);
    fs::remove_all(sb_.path("/Library"));
    for (const std::string& file : {helperToolPath(label_), helperLaunchDaemonPlistPath(label_)})
      if (files) sb_.file(file.substr(sb_.root().size()), "x");
    Identity::shared().setReInstallHelper(reinstallFlag);
    UserDefaults& defaults = UserDefaults::standard();
    ASSERT_TRUE(stored ? defaults.set(label_ + "-Install", stored)
                       : defaults.remove(label_ + "-Install"));
    EXPECT_EQ(helperTool(), PrivilegeHelper::HelperTool(nullptr, text));
    EXPECT_EQ(fake_->blessCalls, 0) << "nothing installs on the way";
    EXPECT_FALSE(fs::exists(helperSocketPath(label_))) << "nothing starts on the way";
  }
}

TEST_F(PrivilegeHelperTest, AFailedInstallationReturnsItsTextAndStoresNothing) {
  // Per case: the outcome of each installation step and the text returned.
  const std::tuple<const char*, bool, bool, int, const char*> cases[] = {
      {"authorization", false, true, 0, "Create authorization fail!"},
      {"rights", true, false, 0, "Get admain authorization fail!"},
      {"bless 8", true, true, 8, "bless unknown error:8"},
      {"bless 5", true, true, 5, "blessError: kSMErrorToolNotValid"},
  };
  for (const auto& [name, authorization, rights, code, text] : cases) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(UserDefaults::standard().remove(label_ + "-Install"));
    std::tie(fake_->authorization, fake_->rights, fake_->blessCode, fake_->freeCalls) =
        std::tuple(authorization, rights, code, 0);
    EXPECT_EQ(install(), text);
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
