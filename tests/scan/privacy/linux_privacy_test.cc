// The privacy scan and clean under the Linux layout: every Chrome-family
// profile below ~/.config (here also in Brave's Flatpak home), the Firefox profiles profiles.ini
// names (here in the Flatpak home), and the desktop's recently-used.xbel.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "orvexa/clean/privacy_clean_service.h"
#include "orvexa/platform/paths.h"
#include "scan/privacy/privacy_support.h"
#include "support/browser_store_fixture.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::rows;
const std::string kBrave = "var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser";

class LinuxPrivacyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Paths::shared().setLayout(Layout::Linux);
    sb_ = std::make_unique<testing::Sandbox>();
    const std::string macChrome = sb_->path("~/Library/Application Support/Google/Chrome");
    testing::makeChromeStores(*sb_);
    fs::create_directories(sb_->path("~/.config"));
    fs::create_directories(fs::path(sb_->path("~/." + kBrave)).parent_path());
    fs::rename(macChrome, sb_->path("~/.config/google-chrome"));
    fs::remove_all(sb_->path("/staging"));  // the store builder's scratch folder
    testing::makeChromeStores(*sb_, "Profile 1");
    fs::rename(macChrome, sb_->path("~/." + kBrave));
    // Newer versions keep the cookies in a "Network" folder of the profile.
    const std::string brave = sb_->path("~/." + kBrave + "/Profile 1/");
    fs::create_directory(brave + "Network");
    for (const char* name : {"Cookies", "Cookies-wal"})
      fs::rename(brave + name, brave + "Network/" + name);
    const std::string flatpak = sb_->path("~/.var/app/org.mozilla.firefox/.mozilla/firefox");
    testing::makeFirefoxStores(*sb_);
    fs::create_directories(fs::path(flatpak).parent_path());
    fs::rename(sb_->path("~/Library/Application Support/Firefox/Profiles"), flatpak);
    // Today's cookie store has no baseDomain column.
    testing::Db(flatpak + "/b.default-release/cookies.sqlite")
        .exec("ALTER TABLE moz_cookies DROP COLUMN baseDomain");
    sb_->file(flatpak.substr(sb_->root().size()) + "/profiles.ini",
              "[Install4F96D1932A9F858E]\nDefault=a.default\n\n[Profile1]\nName=x\n"
              "IsRelative=1\nPath=b.default-release\r\n\n[Profile0]\nPath=../escape\n");
    sb_->file("~/.local/share/recently-used.xbel", testing::testData("privacy/recently-used.xbel"));
  }
  void TearDown() override {
    sb_.reset();
    Paths::shared().setLayout(Layout::macOS);
  }

  // Group title -> item count.
  static std::map<std::string, size_t> counts(const CategoryPtr& category) {
    std::map<std::string, size_t> out;
    for (const FilePtr& group : category->childrens) out[group->title] = group->childrens.size();
    return out;
  }

  // Chrome's or Firefox's category, from the profiles the Linux layout has.
  CategoryPtr scan(const std::string& title) {
    CategoryPtr category = testing::privacyCategory(title);
    testing::Signal finished;
    auto finish = [&finished] { finished.notify(); };
    if (title == "Chrome")
      PrivacyScanService::scanChromeProfiles(category, privacy::linuxChromeProfiles(), finish);
    else
      PrivacyScanService::scanFirefoxProfiles(category, privacy::linuxFirefoxProfiles(), finish);
    EXPECT_TRUE(finished.wait());
    return category;
  }

  std::unique_ptr<testing::Sandbox> sb_;
};

TEST_F(LinuxPrivacyTest, EveryProfileAndTheRecentFilesAreListedAndCleanedOnTheirOwn) {
  const CategoryPtr chrome = scan("Chrome");
  std::map<std::string, size_t> count = counts(chrome);
  // Eight groups a profile; Brave keeps its cookies in "Network".
  EXPECT_EQ(std::tuple(count.size(), count["Visit History (config/google-chrome/Default)"],
                       count["Cookies (" + kBrave + "/Profile 1)"]),
            std::tuple(16u, 3u, 2u));
  const CategoryPtr firefox = scan("Firefox");
  count = counts(firefox);
  const std::string p = " (var/app/org.mozilla.firefox/.mozilla/firefox/b.default-release)";
  EXPECT_EQ(testing::titlesOf(testing::groupTitled(firefox, "Cookies" + p)),
            (std::vector<std::string>{"example.org", "other.org"}));
  // One profile: the ini's other entry climbs out.
  EXPECT_EQ(std::tuple(count["Visit History" + p], count["Login History" + p], count.size()),
            std::tuple(2u, 2u, 7u));
  const CategoryPtr recent = testing::scanned("Recent Item");
  ASSERT_EQ(recent->childrens.size(), 1u);
  EXPECT_EQ(testing::titlesOf(recent->childrens[0]),
            (std::vector<std::string>{"a b.txt", "R&D.odt", "page"}));
  EXPECT_EQ(testing::unixSeconds(recent->childrens[0]->childrens[1]->date), 1672628645);

  // A clean takes exactly the ticked records, each of its own profile.
  testing::tick(testing::groupTitled(chrome, "Visit History (config/google-chrome/Default)"), {0});
  testing::tick(testing::groupTitled(chrome, "Cookies (" + kBrave + "/Profile 1)"), {0, 1});
  EXPECT_TRUE(PrivacyCleanService::cleanChrome(chrome).second.empty());
  const std::string chromeDefault = sb_->path("~/.config/google-chrome/Default/");
  const std::string brave = sb_->path("~/." + kBrave + "/Profile 1/");
  // While the browser runs (its lock names a live process) its stores stay as they are.
  fs::create_symlink("host-" + std::to_string(::getpid()),
                     sb_->path("~/.config/google-chrome/SingletonLock"));
  testing::tick(testing::groupTitled(chrome, "Cookies (config/google-chrome/Default)"), {0});
  PrivacyCleanResult refused = PrivacyCleanService::cleanChrome(chrome);
  ASSERT_EQ(refused.second.size(), 1u);
  EXPECT_EQ(refused.second[0]->deleteErrorDesc.str(), "Chrome is running: quit it and clean again");
  // The ticked records alone went, and nothing while the browser ran.
  EXPECT_EQ((std::vector{rows(chromeDefault + "History", "select id from visits").size(),
                         rows(brave + "History", "select id from visits").size(),
                         rows(chromeDefault + "Cookies", "select host_key from cookies").size(),
                         rows(brave + "Network/Cookies", "select host_key from cookies").size()}),
            (std::vector<size_t>{2, 3, 2, 0}));

  testing::tick(recent->childrens[0], {1});
  EXPECT_TRUE(PrivacyCleanService::cleanRecentItem(recent).second.empty());
  std::string expected = testing::testData("privacy/recently-used.xbel");
  const std::string gone =
      "  <bookmark href=\"file:///home/u/R&amp;D.odt\" modified=\"2023-01-02T03:04:05Z\"/>\n";
  expected.erase(expected.find(gone), gone.size());
  EXPECT_EQ(testing::readFile(sb_->path("~/.local/share/recently-used.xbel")), expected);
}

}  // namespace
}  // namespace orvexa
