#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "support/browser_store_fixture.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using testing::attachmentText;
using testing::groupTitled;
using testing::Sandbox;
using testing::titlesOf;
using testing::unixSeconds;

// An item as "title|date|address|attachment": the date in whole seconds
// since 1970, or "now" within a minute of it; a web address as written, else
// the path ("" for the placeholder); a text attachment, or a row key's
// [parts] (its text must be those parts joined by ","), or "<none>".
std::string described(const FilePtr& item) {
  const int64_t seconds = unixSeconds(item->date);
  const bool now = std::abs(seconds - unixSeconds(std::chrono::system_clock::now())) < 60;
  std::string attach = testing::attachmentText(item);
  if (const auto* key = std::any_cast<PrivacyRowKey>(&item->attachInformation)) {
    std::string joined;
    attach.clear();
    for (size_t i = 0; i < key->parts.size(); ++i) {
      joined += (i ? "," : "") + key->parts[i];
      attach += "[" + key->parts[i] + "]";
    }
    if (joined != key->text) attach += " shown as " + key->text;
  }
  return item->title + "|" + (now ? "now" : std::to_string(seconds)) + "|" +
         (item->url.isFileURL() ? item->url.path() : item->url.absoluteString()) + "|" + attach;
}

// Per browser, every group and item the scan lists from the stores the
// builders write: each group as "title, level of its items" and its kind,
// then its items described ("~/" for the home, "%/" for the profile folder).
// Visits: by history item, then latest first, with the visit's own id; an
// empty title shows the address. The clocks' zeros are 2001-01-01
// (978307200, Safari) and 1601-01-01 (Chrome). Chrome reads "Cookies"
// (asked for as "cookies"), its rows only in the log, and every local
// storage file but the journal; Firefox leaves out the download state record
// and turns download addresses into paths. Rows and store files may always
// be deleted (local storage files need not).
class BrowserScanTest : public ::testing::Test {
 protected:
  Sandbox sb_;
};

TEST_F(BrowserScanTest, GroupsAndItemsOfEveryBrowser) {
  testing::makeSafariStores(sb_);
  const std::string chrome = testing::makeChromeStores(sb_, "Profile 2");  // the only profile
  const std::string firefox = testing::makeFirefoxStores(sb_);
  // A download from a web address that names a file of the home: never the file.
  testing::Db(firefox + "/places.sqlite")
      .run(
          "INSERT INTO moz_annos (id, place_id, anno_attribute_id, content, dateAdded) VALUES "
          "(23, 1, 2, 'https://cdn.example' || ?, 1)",
          {percentEncodePath(sb_.path("~/Downloads/My File.txt"))});
  const std::string login = "[https://accounts.example/login][https://accounts.example/]";
  const struct {
    const char* name;
    std::string profile;
    std::vector<std::string> lines;
  } browsers[] = {
      {"Safari",
       sb_.path("~/Library/Safari"),
       {"Visit History, 1", "Example again|1678307200|https://example.com/|11",
        "Example|978307200|https://example.com/|10", "Notes|978307300|/Users/tester/notes.html|12",
        "https://untitled.example/|978307250|https://untitled.example/|13", "Download History, 3",
        "~/Downloads/a.zip|1700000000|~/Downloads/a.zip|ID-1", "|now||ID-2", "Last Tabs, 3",
        "LastSession|now|%/LastSession.plist|<none>",
        "Auto Fills Value",  // no "Form Values" file
        "LocalStorage, 1",
        "https_a.example_0.localstorage|now|%/LocalStorage/https_a.example_0.localstorage|<none>",
        "https_b.example_0.localstorage|now|%/LocalStorage/https_b.example_0.localstorage|<none>",
        "Cookies, 3", "Cookies.binarycookies|now|~/Cookies/Cookies.binarycookies|<none>"}},
      {"Chrome",
       chrome,
       {"Visit History, 1",
        "News|1600000000|https://news.example/a|100",
        "file:///Users/tester/page.html|0|/Users/tester/page.html|101",
        "News|1600000500|https://news.example/a|102",
        "Download History, 1",
        "report.pdf|1700000000|~/Downloads/report.pdf|1",
        "gone.zip|0|/nowhere/gone.zip|2",
        "Download File History, 1",
        "report.pdf|1700000000|~/Downloads/report.pdf|1",
        "Search History, 1",
        "x|now|https://search.example/?q=x|2",
        "Cookies, 1",
        "cdn.example.net|1650000100||" + std::to_string(testing::chromeTime(1650000100)),
        ".example.com|1650000000||" + std::to_string(testing::chromeTime(1650000000)),
        "Login History, 1",
        "accounts.example|1500000000||" + login + "[me@example]",
        "accounts.example|1500000001||" + login + "[]",
        "Auto Fills Value, 1",
        "email|1400000000||[email][me@example]",
        "street|1400000001||[street][O'Brien Road, 5]",
        "street|1400000002||[street][O'Brien Road]",
        "street,O'Brien Road|1400000003||[street,O'Brien Road][ 5]",
        "LocalStorage, 1",
        "https_x_0.localstorage|now|%/Local Storage/https_x_0.localstorage|<none>",
        "000003.log|now|%/Local Storage/leveldb/000003.log|<none>"}},
      {"Firefox",
       firefox,
       {"Visit History, 1",
        "https://mozilla.example/|1600000000|https://mozilla.example/|1",
        "https://mozilla.example/|1500000000|https://mozilla.example/|1",
        "Download History, 1",
        "My%20File.txt|1700000000|~/Downloads/My File.txt|20",
        "x.zip|1700000000|/nowhere/x.zip|22",
        "My%20File.txt|0|https://cdn.example~/Downloads/My%20File.txt|23",
        "Download File History, 1",
        "My%20File.txt|1700000000|~/Downloads/My File.txt|20",
        "Search History, 1",
        "kw|1610000000|https://kw.example/search|5",
        "Cookies, 1",
        "example.org|1650000000||7",
        "other.org|1650000001||8",
        "Auto Fills Value, 1",
        "searchbar-history|1600000000||3",
        "email|0||4",
        "Login History, 1",
        "https://login.example|1600000000||1",
        "https://other.example|1600000001||2"}}};
  std::vector<CategoryPtr> categories;
  for (const auto& browser : browsers) {
    SCOPED_TRACE(browser.name);
    CategoryPtr category = categories.emplace_back(testing::scanned(browser.name));
    std::vector<std::string> lines;
    for (const FilePtr& group : category->childrens) {
      lines.push_back(group->title + (group->childrens.empty()
                                          ? ""
                                          : ", " + std::to_string(group->childrens[0]->levelInt)));
      for (size_t i = 0; i < group->childrens.size(); ++i) {
        const FilePtr& item = group->childrens[i];
        lines.push_back(described(item));
        EXPECT_EQ(std::tuple(item->finderID(), item->parentFinderID, item->parentFileInfo.lock()),
                  std::tuple(static_cast<int>(i), group->finderID(), group));
        EXPECT_TRUE(item->canDelete || group->title == "LocalStorage");
      }
    }
    std::vector<std::string> expected;
    for (std::string line : browser.lines) {
      for (const auto& [mark, folder] :
           {std::pair{"~/", sb_.home() + "/"}, std::pair{"%/", browser.profile + "/"}}) {
        for (size_t at; (at = line.find(mark)) != std::string::npos;) line.replace(at, 2, folder);
      }
      expected.push_back(line);
    }
    EXPECT_EQ(lines, expected);
  }
  // What the descriptions do not show: Safari keeps fractions of a second,
  // Firefox's logins milliseconds, local storage items have their size.
  const auto item = [&categories](size_t c, size_t g, size_t i) {
    return categories[c]->childrens[g]->childrens[i];
  };
  using std::chrono::milliseconds;
  EXPECT_EQ(
      std::tuple(item(0, 0, 0)->date.time_since_epoch(), item(2, 6, 0)->date.time_since_epoch(),
                 item(0, 4, 0)->size, item(0, 4, 1)->size),
      std::tuple(milliseconds(1678307200500), milliseconds(1600000000123), 20, 30));
}

// An unreadable store is not read at all, which the group says (a locked
// one is read from a copy: PrivacyLockedStoreTest).
TEST_F(BrowserScanTest, UnreadableSafariHistoryGivesAnEmptyVisitGroup) {
  const std::string path = sb_.path("~/Library/Safari/History.db");
  for (const std::string store : {"missing", "not a database", "foreign schema", "a folder"}) {
    SCOPED_TRACE(store);
    std::filesystem::remove_all(path);
    if (store == "not a database") sb_.file("~/Library/Safari/History.db", "garbage");
    if (store == "foreign schema")
      testing::Db(path).exec("CREATE TABLE history_items (id INTEGER PRIMARY KEY, url TEXT);");
    if (store == "a folder") std::filesystem::create_directories(path);
    const bool existed = store != "missing";
    CategoryPtr safari = testing::scanned("Safari");
    ASSERT_EQ(safari->childrens.size(), 6u);
    // Only a missing store goes without a word of why nothing was read; the
    // downloads list is empty too.
    EXPECT_EQ(std::tuple(safari->childrens[0]->title, safari->childrens[0]->childrens.size(),
                         safari->childrens[0]->scanErrorDesc.empty(),
                         safari->childrens[1]->childrens.size()),
              std::tuple("Visit History", 0u, !existed, 0u));
    // A missing store is not created by looking at it.
    EXPECT_EQ(std::filesystem::exists(path), existed);
  }
}

// (A Chrome store of another schema is read as Safari's above.)
TEST_F(BrowserScanTest, FirefoxWithoutADefaultProfileHasNoGroups) {
  sb_.dir("~/Library/Application Support/Firefox/Profiles/x.dev-edition");
  EXPECT_TRUE(testing::scanned("Firefox")->childrens.empty());
}

}  // namespace
}  // namespace orvexa
