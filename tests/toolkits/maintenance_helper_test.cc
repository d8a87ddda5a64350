// Switching and removing extensions through a real helper served in-process.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "orvexa/toolkits/maintenance_service.h"
#include "support/features.h"
#include "support/helper_fixture.h"
#include "support/run_as.h"
#include "support/sandbox.h"
#include "support/shared_checks.h"
#include "support/signal.h"
#include "toolkits/finish.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using Failures = std::vector<MaintenanceFailure>;
using Outcome = std::tuple<bool, Failures>;
constexpr auto& exists = testing::existsNoFollow;

// "sandbox path[/ when a folder] attachment" of an item.
std::string itemOf(const FilePtr& item, const testing::Sandbox& sb) {
  return item->url.path().substr(sb.root().size()) + (item->url.isDirectory() ? "/ " : " ") +
         testing::attachmentText(item);
}

class MaintenanceHelperTest : public testing::HelperUsingTest {
 protected:
  void SetUp() override {
    if (!testing::canSwitchUser()) GTEST_SKIP() << "the helper's operations need root";
    HelperUsingTest::SetUp();
  }
  // Scans the maintenance feature and returns it.
  FeaturePtr scan() {
    module_ = testing::makeModule(12, {});
    FeaturePtr feature = testing::featureOf(module_);
    MaintenanceService::scan(feature, {}, nullptr, nullptr, nullptr, nullptr, nullptr);
    return feature;
  }
  Outcome move(const FilePtr& item) {
    return testing::awaitFinish<bool, Failures>([&](auto finish) {
      MaintenanceService::shard().moveExtensionCategory(item, std::move(finish));
    });
  }
  Outcome clean(const CategoryPtr& category) {
    return testing::awaitFinish<bool, Failures>([&](auto finish) {
      MaintenanceService::shard().cleanExtensionCategory({category}, std::move(finish));
    });
  }

  testing::Sandbox sb_;
  ModulePtr module_;
};

// A disabled importer is switched on into its folder; an enabled pane whose
// name is taken in the twin goes under a numbered name, overwriting nothing;
// a failed move reports the helper's code and text and leaves the item.
// (Switching off into a free name: MaintenanceConcurrencyTest.)
TEST_F(MaintenanceHelperTest, SwitchingMovesTheItemAndNeverOverwrites) {
  testing::RunningHelper helper;
  testing::layOut(sb_, "toolkits/maintenance-switching.layout");
  FeaturePtr feature = scan();
  FilePtr importer = feature->categoryInfo[0]->childrens.at(0);
  FilePtr pane = feature->categoryInfo[1]->childrens.at(0);
  FilePtr plugin = feature->categoryInfo[2]->childrens.at(0);
  EXPECT_EQ(move(importer), Outcome(true, {}));
  EXPECT_TRUE(exists(sb_.path("/Library/Spotlight/Notes.mdimporter/x")));
  EXPECT_FALSE(exists(sb_.path("/Library/Spotlight Disabled/Notes.mdimporter")));
  EXPECT_EQ(itemOf(importer, sb_), "/Library/Spotlight/Notes.mdimporter/ Start");

  EXPECT_EQ(move(pane), Outcome(true, {}));
  EXPECT_EQ(itemOf(pane, sb_), "/Library/PreferencePanes Disabled/Net 1.prefPane/ Close");
  EXPECT_TRUE(exists(pane->url.path() + "/a"));
  EXPECT_FALSE(exists(sb_.path("/Library/PreferencePanes/Net.prefPane")));
  EXPECT_TRUE(exists(sb_.path("/Library/PreferencePanes Disabled/Net.prefPane/old")));

  const std::string before = plugin->url.path();
  fs::remove_all(before);  // removed by someone else since the scan
  const Url destination = MaintenanceService::switchDestination(plugin->url);
  EXPECT_EQ(move(plugin), Outcome(false, {{destination, raw(HelperEventErrorID::MoveFail),
                                           before + ": No such file or directory"}}));
  EXPECT_EQ(itemOf(plugin, sb_), "/Library/Internet Plug-Ins/Gone.plugin/ Start");
}

// Without the helper every ticked item fails with its text and stays, and a
// switch fails leaving the item as it was; with it the ticked items go but
// one that changed since it was listed, which stays listed.
TEST_F(MaintenanceHelperTest, RemovingAndSwitchingLeaveWhatFailed) {
  testing::layOut(sb_, "toolkits/maintenance-removing.layout");
  FeaturePtr feature = scan();
  CategoryPtr importers = feature->categoryInfo[0];
  ASSERT_EQ(importers->childrens.size(), 4u);
  FilePtr a = importers->childrens[0], b = importers->childrens[1], kept = importers->childrens[2],
          c = importers->childrens[3];
  FilePtr plugin = feature->categoryInfo[2]->childrens.at(0);
  a->state = b->state = c->state = 1;
  kept->state = 0;
  {
    SCOPED_TRACE("without the helper");
    testing::NoHelper noHelper;
    const int code = raw(HelperEventErrorID::DeleteError);
    const std::string text = "Privilege Install Fail!";
    EXPECT_EQ(clean(importers),
              Outcome(false, {{a->url, code, text}, {b->url, code, text}, {c->url, code, text}}));
    EXPECT_EQ(importers->size, 100);
    EXPECT_TRUE(exists(a->url.path()));
    const Url destination = MaintenanceService::switchDestination(plugin->url);
    EXPECT_EQ(
        (testing::awaitFinish<bool, Failures>([&](auto finish) {
          MaintenanceService::shard().moveExtension({{destination, plugin}}, std::move(finish));
        })),
        Outcome(false, {{destination, code, text}}));
    EXPECT_EQ(itemOf(plugin, sb_), "/Library/Internet Plug-Ins Disabled/P.plugin/ Close");
    EXPECT_TRUE(exists(plugin->url.path()));
  }
  testing::RunningHelper helper;
  fs::remove_all(b->url.path());  // the one that fails
  EXPECT_EQ(clean(importers), Outcome(false, {{b->url, raw(HelperEventErrorID::DeleteError),
                                               "changed since it was listed"}}));
  EXPECT_TRUE(!exists(a->url.path()) && !exists(c->url.path()) && exists(kept->url.path()));
  EXPECT_EQ(importers->childrens, (std::vector<FilePtr>{b, kept}));
  EXPECT_EQ(importers->size, 60);
  // Nothing ticked any more but the failed one, which is gone now too.
  b->state = 0;
  EXPECT_EQ(clean(importers), Outcome(true, {}));
  EXPECT_EQ(importers->childrens.size(), 2u);
}

using MaintenanceConcurrencyTest = MaintenanceHelperTest;

// Switches requested from several threads at once share the one helper
// connection; each item is moved once and each finish comes once.
TEST_F(MaintenanceConcurrencyTest, SwitchesFromManyThreadsAllArrive) {
  testing::RunningHelper helper;
  constexpr int kItems = 8;
  for (int i = 0; i < kItems; ++i)
    sb_.dir("/Library/Spotlight/I" + std::to_string(i) + ".mdimporter");
  const std::vector<FilePtr> items = scan()->categoryInfo[0]->childrens;
  std::atomic<int> succeeded{0};
  testing::Signal finished;
  std::vector<std::thread> threads;
  for (const FilePtr& item : items) {
    threads.emplace_back([&, item] {
      MaintenanceService::shard().moveExtensionCategory(item, [&](bool ok, Failures failures) {
        if (ok && failures.empty()) ++succeeded;
        finished.notify();
      });
    });
  }
  for (std::thread& t : threads) t.join();
  ASSERT_TRUE(finished.wait(std::chrono::seconds(30), kItems));
  EXPECT_EQ(std::pair(finished.count(), succeeded.load()), std::pair(kItems, kItems));
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string moved = "/Library/Spotlight Disabled/I" + std::to_string(i) + ".mdimporter";
    EXPECT_TRUE(fs::is_directory(sb_.path(moved)));
    EXPECT_EQ(itemOf(items[i], sb_), moved + "/ Close");
  }
}

}  // namespace
}  // namespace orvexa
