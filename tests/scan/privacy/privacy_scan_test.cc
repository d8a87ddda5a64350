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
    testing::Signal done;
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

  testing::Sandbox sb_;
  ModulePtr module_;
  std::shared_ptr<std::atomic<float>> lastPercent_;  // of the last scan
  std::shared_ptr<SerialGCDService> queue_ =
      std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
};

// The titles of the categories of `feature`, joined by "|"; each must be an
// unticked privacy category of `feature`, numbered in order.
std::string categories(const FeaturePtr& feature) {
  std::string titles;
  for (size_t i = 0; i < feature->categoryInfo.size(); ++i) {
    const CategoryPtr& c = feature->categoryInfo[i];
    titles += (i ? "|" : "") + c->title;
    EXPECT_EQ(std::tuple(c->finderID(), c->kind, c->state, c->featureInfo.lock()),
              std::tuple(static_cast<int>(i), raw(CategoryInfomationKind::Privacy), 0, feature));
  }
  return titles;
}

using PrivacyScanTest = PrivacyScanFixture;

// Categories only for the browsers present; no permissions on 10.14 (the
// version as SystemVersion.plist gives it; none: not 10.14).
TEST_F(PrivacyScanTest, CategoriesForBrowsersThatArePresentPermissionsAfter10_14AndProgress) {
  testing::makePermissionDatabases(sb_);
  // A folder made below Application Support (Crashpad: a Chrome folder
  // without a profile), the version ("" for no SystemVersion.plist): the
  // categories, and the applications listed.
  const std::tuple<std::string, const char*, std::string> cases[] = {
      {"", "10.14.6", "Safari|Recent Item|Application Permissions 0"},
      {"Firefox/Profiles/", "10.15.7", "Safari|Firefox|Recent Item|Application Permissions 2"},
      {"Google/Chrome/Crashpad/", "13.1", "Safari|Recent Item|Application Permissions 2"},
      {"", "", "Safari|Recent Item|Application Permissions 2"}};
  const std::string plist = "/System/Library/CoreServices/SystemVersion.plist";
  for (const auto& [folder, version, expected] : cases) {
    SCOPED_TRACE(folder + version);
    std::filesystem::remove_all(sb_.path("~/Library/Application Support/Google"));
    std::filesystem::remove_all(sb_.path("~/Library/Application Support/Firefox"));
    if (!folder.empty()) sb_.dir("~/Library/Application Support/" + folder);
    std::filesystem::remove(sb_.path(plist));
    if (*version)
      sb_.file(plist, writePlist(PlistValue(PlistValue::Dictionary{{{"ProductVersion", version}}}),
                                 PlistFormat::Xml));
    FeaturePtr feature = scan();
    EXPECT_EQ(
        categories(feature) + " " + std::to_string(feature->categoryInfo.back()->childrens.size()),
        expected);
  }
  // The progress rises to one once the five scans are in.
  EXPECT_TRUE(
      testing::waitFor([&] { return lastPercent_->load() == 1.0f; }, std::chrono::seconds(5)))
      << lastPercent_->load();
}

// The profile each browser's scan reads, from the entries below its folder
// ("+name" for a file); Firefox's folder also holds the file zz.default-zzz.
TEST_F(PrivacyScanTest, ProfileChoice) {
  // Chrome or Firefox, the rule, the entries: the profile chosen.
  const std::tuple<bool, const char*, std::vector<std::string>, std::string> cases[] = {
      {true, "a name holding Default", {"Profile 3", "Old Default Copy"}, "Default"},
      {true, "descending text order", {"Profile 2", "Profile 10"}, "Profile 2"},
      {true, "only names beginning with Profile", {"System Profile", "Profile 1"}, "Profile 1"},
      {true, "hidden entries are not looked at", {".Default", "Profile 4"}, "Profile 4"},
      {true, "files count too", {"+Local State", "+Profile 9"}, "Profile 9"},
      {true, "nothing usable", {"Crashpad", "Guest"}, "Defalut"},
      {false, "by extension, not by name", {"z.default", "a.default-release"}, "a.default-release"},
      {false, "none", {"x.dev-edition"}, "none"}};
  for (const auto& [chrome, rule, entries, profile] : cases) {
    SCOPED_TRACE(rule);
    const std::string folder = std::string("~/Library/Application Support/") +
                               (chrome ? "Google/Chrome/" : "Firefox/Profiles/");
    std::filesystem::remove_all(sb_.path(folder));
    for (const std::string& e : entries)
      e.front() == '+' ? (void)sb_.file(folder + e.substr(1), 1) : (void)sb_.dir(folder + e);
    if (!chrome) sb_.file(folder + "zz.default-zzz", 1);
    const std::optional<std::string> firefox = PrivacyScanService::getFirefoxProfile();
    EXPECT_EQ(chrome    ? PrivacyScanService::getChromeProfile()
              : firefox ? firefox->substr(sb_.path(folder).size())
                        : "none",
              profile);
  }
}

// The whole scan with every store present: five scans at once, the Safari
// scan's local storage made by many concurrent tasks.
using PrivacyScanConcurrencyTest = PrivacyScanFixture;

TEST_F(PrivacyScanConcurrencyTest, FullScanOfEveryStore) {
  testing::makeSafariStores(sb_);
  for (int i = 0; i < 40; ++i)
    sb_.file("~/Library/Safari/LocalStorage/site" + std::to_string(100 + i) + ".localstorage",
             static_cast<size_t>(i));
  testing::makeChromeStores(sb_);
  testing::makeFirefoxStores(sb_);
  testing::makeFinderRecents(sb_);
  testing::writeSharedList(sb_, "recent.sfl", testing::sharedList(sb_));
  testing::makePermissionDatabases(sb_);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    FeaturePtr feature = scan();
    EXPECT_EQ(categories(feature), "Safari|Chrome|Firefox|Recent Item|Application Permissions");
    ASSERT_EQ(feature->categoryInfo[0]->childrens.size(), 6u);
    const FilePtr storage = feature->categoryInfo[0]->childrens[4];  // Safari's local storage
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
