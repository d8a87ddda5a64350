// Switching and removing extensions through a real helper served in-process.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <any>
#include <filesystem>
#include <mutex>

#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/identity.h"
#include "orvexa/toolkits/maintenance_service.h"
#include "support/features.h"
#include "support/helper_fixture.h"
#include "support/run_as.h"
#include "support/sandbox.h"
#include "support/signal.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string attachmentOf(const FilePtr& item) {
  const std::string* text = std::any_cast<std::string>(&item->attachInformation);
  return text != nullptr ? *text : "<not a text>";
}

// What one finish call delivered.
struct Outcome {
  bool ok = false;
  std::vector<MaintenanceFailure> failures;
  int calls = 0;
};

class MaintenanceHelperTest : public testing::HelperUsingTest {
 protected:
  void SetUp() override {
    if (!testing::canSwitchUser()) GTEST_SKIP() << "the helper's operations need root";
    HelperUsingTest::SetUp();
  }

  MaintenanceService::Finish recorder() {
    return [this](bool ok, std::vector<MaintenanceFailure> failures) {
      {
        std::lock_guard lock(mu_);
        outcome_.ok = ok;
        outcome_.failures = std::move(failures);
        ++outcome_.calls;
      }
      finished_.notify();
    };
  }
  Outcome waitForFinish() {
    EXPECT_TRUE(finished_.wait());
    std::lock_guard lock(mu_);
    return outcome_;
  }

  // Scans the maintenance feature and returns it.
  FeaturePtr scan() {
    module_ = testing::makeModule(12, {});
    FeaturePtr feature = testing::featureOf(module_);
    MaintenanceService::scan(feature, {}, nullptr, nullptr, nullptr, nullptr, nullptr);
    return feature;
  }

  testing::Sandbox sb_;
  ModulePtr module_;
  std::mutex mu_;
  Outcome outcome_;
  testing::Signal finished_;
};

TEST_F(MaintenanceHelperTest, ADisabledImporterIsListedClosedAndSwitchingItOnMovesItBack) {
  testing::RunningHelper helper;
  sb_.layout({"/Library/Spotlight/", "/Library/Spotlight Disabled/Notes.mdimporter/x:12"});
  FeaturePtr feature = scan();
  ASSERT_EQ(feature->categoryInfo[0]->childrens.size(), 1u);
  FilePtr importer = feature->categoryInfo[0]->childrens[0];
  EXPECT_EQ(attachmentOf(importer), "Close");

  MaintenanceService::shard().moveExtensionCategory(importer, recorder());
  Outcome outcome = waitForFinish();
  EXPECT_TRUE(outcome.ok);
  EXPECT_TRUE(outcome.failures.empty());
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_TRUE(exists(sb_.path("/Library/Spotlight/Notes.mdimporter/x")));
  EXPECT_FALSE(exists(sb_.path("/Library/Spotlight Disabled/Notes.mdimporter")));
  EXPECT_EQ(attachmentOf(importer), "Start");
  EXPECT_EQ(importer->url.path(), sb_.path("/Library/Spotlight/Notes.mdimporter"));
  EXPECT_TRUE(importer->url.isDirectory());

  // And off again, from where the record now points.
  MaintenanceService::shard().moveExtensionCategory(importer, recorder());
  EXPECT_TRUE(finished_.wait(std::chrono::seconds(20), 2));
  EXPECT_EQ(attachmentOf(importer), "Close");
  EXPECT_TRUE(exists(sb_.path("/Library/Spotlight Disabled/Notes.mdimporter/x")));
}

TEST_F(MaintenanceHelperTest, SwitchingOffOntoATakenNameMovesUnderANumberedName) {
  testing::RunningHelper helper;
  const struct {
    const char* name;
    std::vector<std::string_view> layout;
    const char* moved;  // where the enabled pane ends up
  } cases[] = {
      {"free name, twin missing",
       {"/Library/PreferencePanes/Net.prefPane/a:1"},
       "/Library/PreferencePanes Disabled/Net.prefPane"},
      {"name taken",
       {"/Library/PreferencePanes/Net.prefPane/a:1",
        "/Library/PreferencePanes Disabled/Net.prefPane/old:2"},
       "/Library/PreferencePanes Disabled/Net 1.prefPane"},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(sb_.path("/Library/PreferencePanes"));
    fs::remove_all(sb_.path("/Library/PreferencePanes Disabled"));
    for (std::string_view entry : c.layout) sb_.layout({entry});
    FeaturePtr feature = scan();
    const CategoryPtr& panes = feature->categoryInfo[1];
    FilePtr pane;
    for (const FilePtr& item : panes->childrens) {
      if (item->url.path() == sb_.path("/Library/PreferencePanes/Net.prefPane")) pane = item;
    }
    ASSERT_TRUE(pane);
    EXPECT_EQ(attachmentOf(pane), "Start");

    MaintenanceService::shard().moveExtensionCategory(pane, recorder());
    ASSERT_TRUE(finished_.wait(std::chrono::seconds(20), ++round));
    std::lock_guard lock(mu_);
    EXPECT_TRUE(outcome_.ok);
    EXPECT_TRUE(outcome_.failures.empty());
    EXPECT_EQ(pane->url.path(), sb_.path(c.moved));
    EXPECT_EQ(attachmentOf(pane), "Close");
    EXPECT_EQ(testing::readFile(sb_.path(c.moved) + "/a").size(), 1u) << "the moved pane";
    EXPECT_FALSE(exists(sb_.path("/Library/PreferencePanes/Net.prefPane")));
    if (c.layout.size() > 1) {
      EXPECT_TRUE(exists(sb_.path("/Library/PreferencePanes Disabled/Net.prefPane/old")))
          << "what was there is not overwritten";
    }
  }
}

TEST_F(MaintenanceHelperTest, AFailedMoveReportsTheHelpersCodeAndTextAndLeavesTheItem) {
  testing::RunningHelper helper;
  sb_.layout({"/Library/Internet Plug-Ins/Gone.plugin/x:1"});
  FeaturePtr feature = scan();
  FilePtr plugin = feature->categoryInfo[2]->childrens.at(0);
  const std::string before = plugin->url.path();
  fs::remove_all(before);  // removed by someone else since the scan

  MaintenanceService::shard().moveExtensionCategory(plugin, recorder());
  Outcome outcome = waitForFinish();
  EXPECT_FALSE(outcome.ok);
  ASSERT_EQ(outcome.failures.size(), 1u);
  EXPECT_EQ(outcome.failures[0].url.path(),
            sb_.path("/Library/Internet Plug-Ins Disabled/Gone.plugin"));
  EXPECT_EQ(outcome.failures[0].code, raw(HelperEventErrorID::MoveFail));
  EXPECT_EQ(outcome.failures[0].text, before + ": No such file or directory");
  EXPECT_EQ(plugin->url.path(), before);
  EXPECT_EQ(attachmentOf(plugin), "Start");
}

TEST_F(MaintenanceHelperTest, RemovingThreeTickedOfWhichOneFailsLeavesTheFailedOne) {
  testing::RunningHelper helper;
  sb_.layout({"/Library/Spotlight/A.mdimporter/x:10", "/Library/Spotlight/B.mdimporter/x:20",
              "/Library/Spotlight Disabled/C.mdimporter/x:30",
              "/Library/Spotlight/Kept.mdimporter/x:40"});
  FeaturePtr feature = scan();
  CategoryPtr importers = feature->categoryInfo[0];
  ASSERT_EQ(importers->childrens.size(), 4u);
  FilePtr a = importers->childrens[0], b = importers->childrens[1], kept = importers->childrens[2],
          c = importers->childrens[3];
  ASSERT_EQ(c->url.lastPathComponent(), "C.mdimporter");
  ASSERT_EQ(importers->size, 100);
  a->state = b->state = c->state = 1;
  kept->state = 0;
  fs::remove_all(b->url.path());  // the one that fails

  MaintenanceService::shard().cleanExtensionCategory({importers}, recorder());
  Outcome outcome = waitForFinish();
  EXPECT_FALSE(outcome.ok);
  ASSERT_EQ(outcome.failures.size(), 1u);
  EXPECT_EQ(outcome.failures[0].url, b->url);
  EXPECT_EQ(outcome.failures[0].code, raw(HelperEventErrorID::DeleteError));
  EXPECT_EQ(outcome.failures[0].text, "changed since it was listed");
  EXPECT_FALSE(exists(a->url.path()));
  EXPECT_FALSE(exists(c->url.path()));
  EXPECT_TRUE(exists(kept->url.path()));
  EXPECT_EQ(importers->childrens, (std::vector<FilePtr>{b, kept}));
  EXPECT_EQ(importers->size, 60);

  // Nothing ticked any more but the failed one, which is gone now too.
  b->state = 0;
  MaintenanceService::shard().cleanExtensionCategory({importers}, recorder());
  EXPECT_TRUE(finished_.wait(std::chrono::seconds(20), 2));
  std::lock_guard lock(mu_);
  EXPECT_TRUE(outcome_.ok);
  EXPECT_EQ(importers->childrens.size(), 2u);
}

TEST_F(MaintenanceHelperTest, WithoutTheHelperEveryItemFailsWithPrivilegeInstallFail) {
  testing::NoHelper noHelper;
  sb_.layout({"/Library/Spotlight/A.mdimporter/x:10", "/Library/Spotlight/B.mdimporter/x:20",
              "/Library/Internet Plug-Ins Disabled/P.plugin/x:5"});
  FeaturePtr feature = scan();
  CategoryPtr importers = feature->categoryInfo[0];
  FilePtr a = importers->childrens.at(0), b = importers->childrens.at(1);
  FilePtr plugin = feature->categoryInfo[2]->childrens.at(0);

  // Removing: one failure per ticked item, and every item stays.
  a->state = b->state = 1;
  MaintenanceService::shard().cleanExtensionCategory({importers}, recorder());
  Outcome removal = waitForFinish();
  EXPECT_FALSE(removal.ok);
  EXPECT_EQ(removal.failures,
            (std::vector<MaintenanceFailure>{
                {a->url, raw(HelperEventErrorID::DeleteError), "Privilege Install Fail!"},
                {b->url, raw(HelperEventErrorID::DeleteError), "Privilege Install Fail!"}}));
  EXPECT_EQ(importers->childrens, (std::vector<FilePtr>{a, b}));
  EXPECT_EQ(importers->size, 30);
  EXPECT_TRUE(exists(a->url.path()));

  // Switching: the destination fails, the item keeps its place and state.
  const Url destination = MaintenanceService::switchDestination(plugin->url);
  MaintenanceService::shard().moveExtension({{destination, plugin}}, recorder());
  ASSERT_TRUE(finished_.wait(std::chrono::seconds(20), 2));
  std::lock_guard lock(mu_);
  EXPECT_FALSE(outcome_.ok);
  EXPECT_EQ(outcome_.failures,
            (std::vector<MaintenanceFailure>{
                {destination, raw(HelperEventErrorID::DeleteError), "Privilege Install Fail!"}}));
  EXPECT_EQ(plugin->url.path(), sb_.path("/Library/Internet Plug-Ins Disabled/P.plugin"));
  EXPECT_EQ(attachmentOf(plugin), "Close");
  EXPECT_TRUE(exists(plugin->url.path()));
}

}  // namespace
}  // namespace orvexa
