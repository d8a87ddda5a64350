// Switches requested from several threads at once share the one helper
// connection; each item is moved once and each finish comes once.
#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <filesystem>
#include <thread>

#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/identity.h"
#include "orvexa/toolkits/maintenance_service.h"
#include "support/helper_fixture.h"
#include "support/run_as.h"
#include "support/sandbox.h"
#include "support/signal.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;

TEST(MaintenanceConcurrencyTest, SwitchesFromManyThreadsAllArrive) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "the helper's moves need root";
  testing::Sandbox sb;
  Identity::shared().setBundleIdentifier("org.orvexa.tests");
  testing::RunningHelper helper;
  constexpr int kItems = 8;
  std::vector<FilePtr> items;
  for (int i = 0; i < kItems; ++i) {
    const std::string path = sb.dir("/Library/Spotlight/I" + std::to_string(i) + ".mdimporter");
    auto item = std::make_shared<FileInformation>();
    item->url = Url::fromPath(path, true);
    item->attachInformation = std::string("Start");
    items.push_back(item);
  }

  std::atomic<int> succeeded{0};
  testing::Signal finished;
  std::vector<std::thread> threads;
  for (int i = 0; i < kItems; ++i) {
    threads.emplace_back([&, i] {
      MaintenanceService::shard().moveExtensionCategory(
          items[static_cast<size_t>(i)], [&](bool ok, std::vector<MaintenanceFailure> failures) {
            if (ok && failures.empty()) ++succeeded;
            finished.notify();
          });
    });
  }
  for (std::thread& t : threads) t.join();
  ASSERT_TRUE(finished.wait(std::chrono::seconds(30), kItems));
  EXPECT_EQ(finished.count(), kItems);
  EXPECT_EQ(succeeded.load(), kItems);
  for (int i = 0; i < kItems; ++i) {
    SCOPED_TRACE(i);
    const std::string moved =
        sb.path("/Library/Spotlight Disabled/I" + std::to_string(i) + ".mdimporter");
    EXPECT_TRUE(fs::is_directory(moved));
    EXPECT_EQ(items[static_cast<size_t>(i)]->url.path(), moved);
    EXPECT_EQ(std::any_cast<std::string>(items[static_cast<size_t>(i)]->attachInformation),
              "Close");
  }
  PrivilegeHelper::shard().close();
}

}  // namespace
}  // namespace orvexa
