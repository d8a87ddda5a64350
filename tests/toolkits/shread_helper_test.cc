#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/identity.h"
#include "orvexa/toolkits/shread_service.h"
#include "support/helper_fixture.h"
#include "support/run_as.h"
#include "support/sandbox.h"
#include "support/signal.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using Status = ShreadService::ShredStatus;
using Result = ShreadService::ShredResult;

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::pair<int, std::string> success() { return {static_cast<int>(Status::Success), ""}; }

// Files of nobody's in folders of root's: the current user (root, named
// as such) may delete them but does not own them, so they go to the
// privileged helper, served in-process on its socket in the sandbox.
class ShreadHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to own files as another user";
    sb_ = std::make_unique<testing::Sandbox>(accountNameOf(::geteuid()));
    Identity::shared().setBundleIdentifier("org.orvexa.tests");
    helper_ = std::make_unique<testing::RunningHelper>();
  }
  void TearDown() override {
    helper_.reset();
    PrivilegeHelper::shard().close();
    sb_.reset();
  }

  std::string othersFile(const std::string& sandboxPath, const std::string& content) {
    const std::string file = sb_->file(sandboxPath, content);
    EXPECT_EQ(::chown(file.c_str(), testing::kNobodyUid, testing::kNogroupGid), 0);
    return file;
  }

  std::pair<bool, Result> shredAndWait(const std::vector<std::string>& paths) {
    struct Shared {
      std::mutex mu;
      bool success = false;
      Result result;
      testing::Signal done;
    };
    auto shared = std::make_shared<Shared>();
    std::vector<Url> urls;
    for (const std::string& p : paths) urls.push_back(Url::fromPath(p));
    service_.shred(urls, [shared](bool ok, Result result) {
      {
        std::lock_guard lock(shared->mu);
        shared->success = ok;
        shared->result = std::move(result);
      }
      shared->done.notify();
    });
    EXPECT_TRUE(shared->done.wait());
    std::lock_guard lock(shared->mu);
    return {shared->success, shared->result};
  }

  std::unique_ptr<testing::Sandbox> sb_;
  std::unique_ptr<testing::RunningHelper> helper_;
  ShreadService service_;
};

// Only the waiting paths go to the helper, in one Shred event.
TEST_F(ShreadHelperTest, FilesOfAnotherUserGoToTheHelperAndMineIsShreddedDirectly) {
  auto [tool, error] =
      PrivilegeHelper::shard().getHelperTool(PrivilegeHelper::helperName(), kSMDomainSystemLaunchd);
  ASSERT_NE(tool, nullptr) << error.value_or("");
  auto recording = std::make_shared<testing::RecordingHelper>(tool);
  service_.setPrivilegeHelper(recording);
  const std::string one = othersFile("/Library/Caches/shred/one", "1");
  const std::string two = othersFile("/Library/Caches/shred/two", "22");
  const std::string mine = sb_->file("~/mine", "333");
  std::mutex mu;
  std::vector<std::string> progress;
  service_.setFileProgress([&](const std::string& path, Status status, const std::string&) {
    std::lock_guard lock(mu);
    progress.push_back(fs::path(path).filename().string() + " " +
                       std::string(ShreadService::statusName(static_cast<int>(status))));
  });
  auto [ok, result] = shredAndWait({one, two, mine});
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, (Result{{one, success()}, {two, success()}, {mine, success()}}));
  auto events = recording->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, static_cast<int>(HelperHanldeEventID::Shred));
  PlistValue expected = PlistValue::dictionary();
  expected.set(one, PlistValue::dictionary());
  expected.set(two, PlistValue::dictionary());
  EXPECT_EQ(events[0].second, expected);
  for (const std::string& p : {one, two, mine}) EXPECT_FALSE(exists(p)) << p;
  std::lock_guard lock(mu);
  std::sort(progress.begin(), progress.end());
  EXPECT_EQ(progress, (std::vector<std::string>{"mine Success", "one Prepare", "one Success",
                                                "two Prepare", "two Success"}));
}

TEST_F(ShreadHelperTest, AFolderWithAnotherUsersFileIsRemovedAndReportedOnce) {
  const std::string folder = sb_->dir("/Library/Caches/shred/Project");
  const std::string theirs = othersFile("/Library/Caches/shred/Project/sub/theirs.txt", "x");
  const std::string mine = sb_->file("/Library/Caches/shred/Project/mine.txt", "y");
  auto [ok, result] = shredAndWait({folder});
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, (Result{{folder, success()}}));
  EXPECT_FALSE(exists(folder));
  EXPECT_FALSE(exists(theirs));
  EXPECT_FALSE(exists(mine));
}

// The kept proxy's helper goes away: the waiting file fails with the lost
// connection and stays; the next call connects to the new helper.
TEST_F(ShreadHelperTest, ALostHelperFailsTheWaitingFilesAndTheNextCallConnectsAgain) {
  const std::string first = othersFile("/Library/Caches/shred/first", "1");
  auto [ok, result] = shredAndWait({first});
  ASSERT_TRUE(ok);
  ASSERT_NE(service_.privilegeHelper(), nullptr);

  helper_.reset();
  const std::string second = othersFile("/Library/Caches/shred/second", "2");
  std::tie(ok, result) = shredAndWait({second});
  EXPECT_FALSE(ok);
  EXPECT_EQ(result, (Result{{second,
                             {static_cast<int>(Status::PrivilegeFail),
                              std::string(kHelperConnectionLostText)}}}));
  EXPECT_EQ(testing::readFile(second), "2");
  EXPECT_EQ(service_.privilegeHelper(), nullptr);

  helper_ = std::make_unique<testing::RunningHelper>();
  std::tie(ok, result) = shredAndWait({second});
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, (Result{{second, success()}}));
  EXPECT_FALSE(exists(second));
}

}  // namespace
}  // namespace orvexa
