#include "orvexa/scan/privacy/privacy_scan_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "orvexa/platform/plist.h"
#include "support/browser_store_fixture.h"
#include "support/features.h"
#include "support/sandbox.h"
#include "support/shared_checks.h"
#include "support/signal.h"

namespace orvexa {
namespace {

using testing::Sandbox;
using testing::Signal;
using testing::titlesOf;

constexpr int kFeatureID = 11;

class PrivacyScanFixture : public ::testing::Test {
 protected:
  void SetUp() override { ScanStatusTable::erase(kFeatureID); }
  void TearDown() override { ScanStatusTable::erase(kFeatureID); }

  // Runs the whole scan and waits for `done`.
  FeaturePtr scan() {
    // The scan replaces the catalogue's category.
    module_ = testing::makeModule(kFeatureID,
                                  {{"From the catalogue", CategoryInfomationKind::Common, {}}});
    FeaturePtr feature = testing::featureOf(module_);
    Signal done;
    // Progress ticks may still come after the scan is done.
    auto lastPercent = std::make_shared<std::atomic<float>>(0.0f);
    lastPercent_ = lastPercent;
    PrivacyScanService::scan(
        feature, [](const std::string&, int64_t) { ADD_FAILURE() << "progress called"; },
        [lastPercent](float p) { lastPercent->store(p); },
        [](int, int64_t) { ADD_FAILURE() << "singleDone called"; },
        [&](const FeaturePtr&, int64_t total) {
          EXPECT_EQ(std::pair(total, queue_->isCurrent()), std::pair(int64_t{0}, true));
          done.notify();
        },
        queue_);
    EXPECT_TRUE(done.wait());
    queue_->waitUntilIdle();
    EXPECT_EQ(done.count(), 1);
    EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::end));
    return feature;
  }

  Sandbox sb_;
  ModulePtr module_;
  std::shared_ptr<std::atomic<float>> lastPercent_;  // of the last scan
  std::shared_ptr<SerialGCDService> queue_ =
      std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
};

void expectCategories(const FeaturePtr& feature, const std::vector<std::string>& titles) {
  std::vector<std::string> actual;
  for (size_t i = 0; i < feature->categoryInfo.size(); ++i) {
    const CategoryPtr& c = feature->categoryInfo[i];
    actual.push_back(c->title);
    EXPECT_EQ(std::tuple(c->finderID(), c->kind, c->state, c->featureInfo.lock()),
              std::tuple(static_cast<int>(i), raw(CategoryInfomationKind::Privacy), 0, feature));
  }
  EXPECT_EQ(actual, titles);
}

using PrivacyScanTest = PrivacyScanFixture;

// Categories only for the browsers present; no permissions on 10.14 (the
// version as SystemVersion.plist gives it; none: not 10.14).
TEST_F(PrivacyScanTest, CategoriesForBrowsersThatArePresentPermissionsAfter10_14AndProgress) {
  testing::makePermissionDatabases(sb_);
  const std::vector<std::string> base = {"Safari", "Recent Item", "Application Permissions"};
  const struct {
    const char* folder;   // created below the sandbox's Application Support
    const char* version;  // "" for no SystemVersion.plist
    std::vector<std::string> titles;
    size_t applications;
  } cases[] = {{"", "10.14.6", base, 0},
               {"Firefox/Profiles/",
                "10.15.7",
                {"Safari", "Firefox", "Recent Item", "Application Permissions"},
                2},
               {"Google/Chrome/Crashpad/", "13.1", base, 2},  // a Chrome folder without a profile
               {"", "", base, 2}};
  const std::string plist = sb_.path("/System/Library/CoreServices/SystemVersion.plist");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.folder) + c.version);
    std::filesystem::remove_all(sb_.path("~/Library/Application Support/Google"));
    std::filesystem::remove_all(sb_.path("~/Library/Application Support/Firefox"));
    if (*c.folder) sb_.dir(std::string("~/Library/Application Support/") + c.folder);
    std::filesystem::remove(plist);
    if (*c.version) {
      std::filesystem::create_directories(std::filesystem::path(plist).parent_path());
      ASSERT_TRUE(
          writePlistFile(plist, PlistValue(PlistValue::Dictionary{{{"ProductVersion", c.version}}}),
                         PlistFormat::Xml));
    }
    FeaturePtr feature = scan();
    expectCategories(feature, c.titles);
    EXPECT_EQ(feature->categoryInfo.back()->childrens.size(), c.applications);
  }
  // The progress rises to one once the five scans are in.
  EXPECT_TRUE(
      testing::waitFor([&] { return lastPercent_->load() == 1.0f; }, std::chrono::seconds(5)))
      << lastPercent_->load();
}

// The profile each browser's scan reads, from the entries below its folder
// ("+name" for a file); Firefox's folder also holds the file zz.default-zzz.
TEST_F(PrivacyScanTest, ProfileChoice) {
  const struct {
    bool chrome;
    const char* name;
    std::vector<std::string> entries;
    std::string profile;
  } cases[] = {
      {true, "a name holding Default", {"Profile 3", "Old Default Copy"}, "Default"},
      {true, "descending text order", {"Profile 2", "Profile 10"}, "Profile 2"},
      {true, "only names beginning with Profile", {"System Profile", "Profile 1"}, "Profile 1"},
      {true, "hidden entries are not looked at", {".Default", "Profile 4"}, "Profile 4"},
      {true, "files count too", {"+Local State", "+Profile 9"}, "Profile 9"},
      {true, "nothing usable", {"Crashpad", "Guest"}, "Defalut"},
      {false, "by extension, not by name", {"z.default", "a.default-release"}, "a.default-release"},
      {false, "none", {"x.dev-edition"}, "none"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = std::string("~/Library/Application Support/") +
                               (c.chrome ? "Google/Chrome/" : "Firefox/Profiles/");
    std::filesystem::remove_all(sb_.path(folder));
    for (const std::string& e : c.entries)
      e.front() == '+' ? (void)sb_.file(folder + e.substr(1), 1) : (void)sb_.dir(folder + e);
    if (!c.chrome) sb_.file(folder + "zz.default-zzz", 1);
    const std::optional<std::string> firefox = PrivacyScanService::getFirefoxProfile();
    EXPECT_EQ(c.chrome  ? PrivacyScanService::getChromeProfile()
              : firefox ? firefox->substr(sb_.path(folder).size())
                        : "none",
              c.profile);
  }
}

// The whole scan with every store present: five scans at once, the Safari
// scan's local storage made by many concurrent tasks.
using PrivacyScanConcurrencyTest = PrivacyScanFixture;

TEST_F(PrivacyScanConcurrencyTest, FullScanOfEveryStore) {
  testing::makeSafariStores(sb_);
  for (int i = 0; i < 40; ++i) {
    sb_.file("~/Library/Safari/LocalStorage/site" + std::to_string(100 + i) + ".localstorage",
             static_cast<size_t>(i));
  }
  testing::makeChromeStores(sb_);
  testing::makeFirefoxStores(sb_);
  testing::makeFinderRecents(sb_);
  testing::writeSharedList(sb_, "recent.sfl", testing::sharedList(sb_));
  testing::makePermissionDatabases(sb_);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    FeaturePtr feature = scan();
    expectCategories(feature,
                     {"Safari", "Chrome", "Firefox", "Recent Item", "Application Permissions"});
    const CategoryPtr safari = feature->categoryInfo[0];
    ASSERT_EQ(safari->childrens.size(), 6u);
    const FilePtr storage = safari->childrens[4];
    ASSERT_EQ(storage->childrens.size(), 42u);
    for (size_t i = 0; i < storage->childrens.size(); ++i)
      EXPECT_EQ(storage->childrens[i]->finderID(), static_cast<int>(i));
    EXPECT_EQ(storage->childrens[2]->title, "site100.localstorage");
    EXPECT_EQ(std::tuple(feature->categoryInfo[1]->childrens.size(),
                         feature->categoryInfo[2]->childrens.size(),
                         titlesOf(feature->categoryInfo[3]), titlesOf(feature->categoryInfo[4])),
              std::tuple(8u, 7u, std::vector<std::string>{"Finder Item", "recent.sfl"},
                         std::vector<std::string>{"Cam", "Recorder"}));
  }
}

}  // namespace
}  // namespace orvexa
