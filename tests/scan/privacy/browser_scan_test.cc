#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "support/browser_store_fixture.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using testing::unixSeconds;

// An item as "title|date|address|attachment", then "|size" when it has one:
// the date in seconds since 1970 (with milliseconds when it has them), or
// "now" within a minute of it; a web address as written, else the path (""
// for the placeholder); a text attachment, or a row key's [parts] (its text
// must be those parts joined by ","), or "<none>".
std::string described(const FilePtr& item) {
  using std::chrono::milliseconds;
  const int64_t ms =
      std::chrono::duration_cast<milliseconds>(item->date.time_since_epoch()).count();
  const bool now = std::abs(ms / 1000 - unixSeconds(std::chrono::system_clock::now())) < 60;
  std::string date = now ? "now" : std::to_string(ms / 1000);
  if (!now && ms % 1000) date += "." + std::to_string(1000 + ms % 1000).substr(1);
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
  return item->title + "|" + date + "|" +
         (item->url.isFileURL() ? item->url.path() : item->url.absoluteString()) + "|" + attach +
         (item->size ? "|" + std::to_string(item->size) : "");
}

// Per browser ("[name]"), every group and item the scan lists from the
// stores the builders write, as kExpected holds them: each group as "title, level of its items", then its items described
// ("~/" for the home, "%/" for the profile folder). Safari has no "Form
// Values" file: its "Auto Fills Value" group is empty.
// Visits: by history item, then latest first, with the visit's own id; an
// empty title shows the address. The clocks' zeros are 2001-01-01
// (978307200, Safari) and 1601-01-01 (Chrome). Chrome reads "Cookies"
// (asked for as "cookies"), its rows only in the log, and every local
// storage file but the journal; Firefox leaves out the download state record
// and turns download addresses into paths. Rows and store files may always
// be deleted (local storage files need not).
constexpr const char* kExpected = R"([Safari]
Visit History, 1
Example again|1678307200.500|https://example.com/|11
Example|978307200|https://example.com/|10
Notes|978307300|/Users/tester/notes.html|12
https://untitled.example/|978307250|https://untitled.example/|13
Download History, 3
~/Downloads/a.zip|1700000000|~/Downloads/a.zip|ID-1
|now||ID-2
Last Tabs, 3
LastSession|now|%/LastSession.plist|<none>
Auto Fills Value
LocalStorage, 1
https_a.example_0.localstorage|now|%/LocalStorage/https_a.example_0.localstorage|<none>|20
https_b.example_0.localstorage|now|%/LocalStorage/https_b.example_0.localstorage|<none>|30
Cookies, 3
Cookies.binarycookies|now|~/Cookies/Cookies.binarycookies|<none>
[Chrome]
Visit History, 1
News|1600000000|https://news.example/a|100
file:///Users/tester/page.html|0|/Users/tester/page.html|101
News|1600000500|https://news.example/a|102
Download History, 1
report.pdf|1700000000|~/Downloads/report.pdf|1
gone.zip|0|/nowhere/gone.zip|2
Download File History, 1
report.pdf|1700000000|~/Downloads/report.pdf|1
Search History, 1
x|now|https://search.example/?q=x|2
Cookies, 1
cdn.example.net|1650000100||13294473700000000
.example.com|1650000000||13294473600000000
Login History, 1
accounts.example|1500000000||[https://accounts.example/login][https://accounts.example/][me@example]
accounts.example|1500000001||[https://accounts.example/login][https://accounts.example/][]
Auto Fills Value, 1
email|1400000000||[email][me@example]
street|1400000001||[street][O'Brien Road, 5]
street|1400000002||[street][O'Brien Road]
street,O'Brien Road|1400000003||[street,O'Brien Road][ 5]
LocalStorage, 1
https_x_0.localstorage|now|%/Local Storage/https_x_0.localstorage|<none>|12
000003.log|now|%/Local Storage/leveldb/000003.log|<none>|7
[Firefox]
Visit History, 1
https://mozilla.example/|1600000000|https://mozilla.example/|1
https://mozilla.example/|1500000000|https://mozilla.example/|1
Download History, 1
My%20File.txt|1700000000|~/Downloads/My File.txt|20
x.zip|1700000000|/nowhere/x.zip|22
My%20File.txt|0|https://cdn.example~/Downloads/My%20File.txt|23
Download File History, 1
My%20File.txt|1700000000|~/Downloads/My File.txt|20
Search History, 1
kw|1610000000|https://kw.example/search|5
Cookies, 1
example.org|1650000000||7
other.org|1650000001||8
Auto Fills Value, 1
searchbar-history|1600000000||3
email|0||4
Login History, 1
https://login.example|1600000000.123||1
https://other.example|1600000001||2
)";

class BrowserScanTest : public ::testing::Test {
 protected:
  testing::Sandbox sb_;
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
  const std::pair<const char*, std::string> browsers[] = {
      {"Safari", sb_.path("~/Library/Safari")}, {"Chrome", chrome}, {"Firefox", firefox}};
  std::string lines;
  for (const auto& [name, profile] : browsers) {
    const CategoryPtr category = testing::scanned(name);
    std::string text = "[" + std::string(name) + "]\n";
    for (const FilePtr& group : category->childrens) {
      const auto& items = group->childrens;
      text +=
          group->title + (items.empty() ? "" : ", " + std::to_string(items[0]->levelInt)) + "\n";
      for (size_t i = 0; i < items.size(); ++i) {
        const FilePtr& item = items[i];
        text += described(item) + "\n";
        EXPECT_EQ(std::tuple(item->finderID(), item->parentFinderID, item->parentFileInfo.lock()),
                  std::tuple(static_cast<int>(i), group->finderID(), group));
        EXPECT_TRUE(item->canDelete || group->title == "LocalStorage");
      }
    }
    for (const auto& [folder, mark] :
         {std::pair{profile + "/", "%/"}, std::pair{sb_.home() + "/", "~/"}}) {
      for (size_t at; (at = text.find(folder)) != std::string::npos;)
        text.replace(at, folder.size(), mark);
    }
    lines += text;
  }
  EXPECT_EQ(lines, kExpected);
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
    // Only a missing store goes without a word of why nothing was read (and
    // it is not created by looking at it); the downloads list is empty too.
    EXPECT_EQ(std::tuple(safari->childrens[0]->title, safari->childrens[0]->childrens.size(),
                         safari->childrens[0]->scanErrorDesc.empty(),
                         safari->childrens[1]->childrens.size(), std::filesystem::exists(path)),
              std::tuple("Visit History", 0u, !existed, 0u, existed));
  }
}

// (A Chrome store of another schema is read as Safari's above.)
TEST_F(BrowserScanTest, FirefoxWithoutADefaultProfileHasNoGroups) {
  sb_.dir("~/Library/Application Support/Firefox/Profiles/x.dev-edition");
  EXPECT_TRUE(testing::scanned("Firefox")->childrens.empty());
}

}  // namespace
}  // namespace orvexa
