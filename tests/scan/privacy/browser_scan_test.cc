#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "orvexa/platform/identity.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "orvexa/units/sqlite_tool.h"
#include "support/browser_store_fixture.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using Status = PrivacyScanService::BrowserOperationStatus;
using testing::attachmentText;
using testing::groupTitled;
using testing::Sandbox;
using testing::titlesOf;
using testing::unixSeconds;

constexpr int64_t kSafariEpoch = 978307200;  // 2001-01-01T00:00:00Z

// What one item is expected to hold.
struct Expected {
  std::string title;
  int64_t seconds;     // date, whole seconds since 1970; -1: about now
  std::string url;     // a web address as written; else the path ("" for the placeholder)
  std::string attach;  // text attachment, or "<none>"
};

// `rowItems`: the records of rows and store files, which may always be deleted.
void expectItems(const FilePtr& group, const std::vector<Expected>& expected, int levelInt,
                 bool rowItems = true) {
  ASSERT_TRUE(group);
  SCOPED_TRACE(group->title);
  ASSERT_EQ(group->childrens.size(), expected.size()) << ::testing::PrintToString(titlesOf(group));
  const int64_t now = unixSeconds(std::chrono::system_clock::now());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    const FilePtr& item = group->childrens[i];
    EXPECT_EQ(item->title, expected[i].title);
    if (expected[i].seconds < 0) {
      EXPECT_NEAR(static_cast<double>(unixSeconds(item->date)), static_cast<double>(now), 60);
    } else {
      EXPECT_EQ(unixSeconds(item->date), expected[i].seconds);
    }
    EXPECT_EQ(item->url.isFileURL() ? item->url.path() : item->url.absoluteString(),
              expected[i].url);
    EXPECT_EQ(attachmentText(item), expected[i].attach);
    EXPECT_EQ(item->finderID(), static_cast<int>(i));
    EXPECT_EQ(item->parentFinderID, group->finderID());
    EXPECT_EQ(item->parentFileInfo.lock(), group);
    EXPECT_EQ(item->levelInt, levelInt);
    EXPECT_EQ(item->state, 0);
    EXPECT_TRUE(item->canDelete || !rowItems);
  }
}

void expectGroups(const CategoryPtr& category, const std::vector<std::string>& titles,
                  const std::vector<Status>& statuses) {
  ASSERT_EQ(titlesOf(category), titles);
  for (size_t i = 0; i < statuses.size(); ++i) {
    const FilePtr& group = category->childrens[i];
    SCOPED_TRACE(group->title);
    EXPECT_EQ(group->finderID(), static_cast<int>(i));
    EXPECT_EQ(group->levelInt, 0);
    EXPECT_EQ(group->fileKind, raw(FilesKind::Privacy));
    EXPECT_FALSE(group->removeCategory);
    EXPECT_EQ(group->parentCategoryInfo.lock(), category);
    const auto* status = std::any_cast<Status>(&group->attachInformation);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(*status, statuses[i]);
  }
}

class BrowserScanTest : public ::testing::Test {
 protected:
  Sandbox sb_;
};

TEST_F(BrowserScanTest, SafariGroupsAndItems) {
  const std::string history = testing::makeSafariStores(sb_);
  Identity::shared().registerImage("VisitHistory");
  Identity::shared().registerImage("DownloadsHistory");
  CategoryPtr safari = testing::scanned("Safari");
  expectGroups(safari,
               {"Visit History", "Download History", "Last Tabs", "Auto Fills Value",
                "LocalStorage", "Cookies"},
               {Status::Visit, Status::Download, Status::LastTab, Status::AutoValue,
                Status::LocalStorage, Status::Cookies});
  const FilePtr visits = safari->childrens[0];
  EXPECT_EQ(visits->url.path(), history);
  EXPECT_EQ(visits->icon.name(), "VisitHistory");
  EXPECT_EQ(safari->childrens[1]->icon.name(), "DownloadsHistory");
  // Ordered by history item, then latest visit first; the attachment is the
  // visit's id; time 0 is 2001-01-01; a file address gives its file URL.
  expectItems(visits,
              {{"Example again", kSafariEpoch + 700000000, "https://example.com/", "11"},
               {"Example", kSafariEpoch, "https://example.com/", "10"},
               {"Notes", kSafariEpoch + 100, "/Users/tester/notes.html", "12"},
               {"https://untitled.example/", kSafariEpoch + 50, "https://untitled.example/", "13"}},
              1);
  // Safari keeps fractions of a second.
  EXPECT_EQ(visits->childrens[0]->date.time_since_epoch(),
            std::chrono::duration_cast<Timestamp::duration>(
                std::chrono::milliseconds((kSafariEpoch + 700000000) * 1000 + 500)));

  expectItems(safari->childrens[1],
              {{sb_.path("~/Downloads/a.zip"), 1700000000, sb_.path("~/Downloads/a.zip"), "ID-1"},
               {"", -1, "", "ID-2"}},
              3);
  expectItems(safari->childrens[2],
              {{"LastSession", -1, sb_.path("~/Library/Safari/LastSession.plist"), "<none>"}}, 3);
  expectItems(safari->childrens[3], {}, 3);  // no "Form Values" file

  const FilePtr storage = safari->childrens[4];
  const std::string local = sb_.path("~/Library/Safari/LocalStorage/");
  expectItems(
      storage,
      {{"https_a.example_0.localstorage", -1, local + "https_a.example_0.localstorage", "<none>"},
       {"https_b.example_0.localstorage", -1, local + "https_b.example_0.localstorage", "<none>"}},
      1, false);
  EXPECT_EQ(storage->childrens[0]->size, 20);
  EXPECT_EQ(storage->childrens[1]->size, 30);
  EXPECT_EQ(storage->childrens[1]->parentCategoryInfo.lock(), safari);
  expectItems(
      safari->childrens[5],
      {{"Cookies.binarycookies", -1, sb_.path("~/Cookies/Cookies.binarycookies"), "<none>"}}, 3);
}

// An unreadable store is not read at all, which the group says (a locked
// one is read from a copy: PrivacyLockedStoreTest).
TEST_F(BrowserScanTest, UnreadableSafariHistoryGivesAnEmptyVisitGroup) {
  const std::pair<const char*, std::function<void(const std::string& path)>> cases[] = {
      {"missing", [](const std::string&) {}},
      {"not a database",
       [&](const std::string& path) {
         sb_.file("~/Library/Safari/History.db", "garbage " + path);
       }},
      {"foreign schema",
       [](const std::string& path) {
         testing::Db(path).exec("CREATE TABLE history_items (id INTEGER PRIMARY KEY, url TEXT);");
       }},
      {"a folder", [](const std::string& path) { std::filesystem::create_directories(path); }},
  };
  for (const auto& [name, prepare] : cases) {
    SCOPED_TRACE(name);
    const std::string path = sb_.path("~/Library/Safari/History.db");
    std::filesystem::remove_all(path);
    prepare(path);
    const bool existed = std::filesystem::exists(path);
    CategoryPtr safari = testing::scanned("Safari");
    ASSERT_EQ(safari->childrens.size(), 6u);
    EXPECT_EQ(safari->childrens[0]->title, "Visit History");
    EXPECT_TRUE(safari->childrens[0]->childrens.empty());
    // Only a missing store goes without a word of why nothing was read.
    EXPECT_EQ(safari->childrens[0]->scanErrorDesc.empty(), !existed);
    EXPECT_TRUE(safari->childrens[1]->childrens.empty());  // no downloads list either
    // A missing store is not created by looking at it.
    EXPECT_EQ(std::filesystem::exists(path), existed);
  }
}

TEST_F(BrowserScanTest, ChromeGroupsAndItems) {
  const std::string profile = testing::makeChromeStores(sb_, "Profile 2");
  CategoryPtr chrome = testing::scanned("Chrome");  // the only profile
  expectGroups(chrome,
               {"Visit History", "Download History", "Download File History", "Search History",
                "Cookies", "Login History", "Auto Fills Value", "LocalStorage"},
               {Status::Visit, Status::Download, Status::DownloadFile, Status::Search,
                Status::Cookies, Status::LoginHistory, Status::AutoValue, Status::LocalStorage});
  EXPECT_EQ(chrome->childrens[0]->url.path(), profile + "/History");
  // The visit's own id, not the URL's; an empty title shows the address; a
  // time of 11644473600 x 1000000 is 1970-01-01.
  expectItems(chrome->childrens[0],
              {{"News", 1600000000, "https://news.example/a", "100"},
               {"file:///Users/tester/page.html", 0, "/Users/tester/page.html", "101"},
               {"News", 1600000500, "https://news.example/a", "102"}},
              1);
  const std::string kept = sb_.path("~/Downloads/report.pdf");
  expectItems(chrome->childrens[1],
              {{"report.pdf", 1700000000, kept, "1"}, {"gone.zip", 0, "/nowhere/gone.zip", "2"}},
              1);
  expectItems(chrome->childrens[2], {{"report.pdf", 1700000000, kept, "1"}}, 1);
  expectItems(chrome->childrens[3], {{"x", -1, "https://search.example/?q=x", "2"}}, 1);
  // Read from "Cookies" (asked for as "cookies"), rows only in its log.
  EXPECT_EQ(chrome->childrens[4]->url.path(), profile + "/Cookies");
  expectItems(chrome->childrens[4],
              {{"cdn.example.net", 1650000100, "", std::to_string(testing::chromeTime(1650000100))},
               {".example.com", 1650000000, "", std::to_string(testing::chromeTime(1650000000))}},
              1);

  const FilePtr logins = chrome->childrens[5];
  EXPECT_EQ(logins->url.path(), profile + "/Login Data");
  ASSERT_EQ(logins->childrens.size(), 2u);
  EXPECT_EQ(titlesOf(logins), (std::vector<std::string>{"accounts.example", "accounts.example"}));
  EXPECT_EQ(unixSeconds(logins->childrens[0]->date), 1500000000);
  const auto* key = std::any_cast<PrivacyRowKey>(&logins->childrens[0]->attachInformation);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->text, "https://accounts.example/login,https://accounts.example/,me@example");
  EXPECT_EQ(key->parts, (std::vector<std::string>{"https://accounts.example/login",
                                                  "https://accounts.example/", "me@example"}));

  const FilePtr forms = chrome->childrens[6];
  ASSERT_EQ(forms->childrens.size(), 4u);
  EXPECT_EQ(titlesOf(forms),
            (std::vector<std::string>{"email", "street", "street", "street,O'Brien Road"}));
  EXPECT_EQ(unixSeconds(forms->childrens[1]->date), 1400000001);
  const auto* form = std::any_cast<PrivacyRowKey>(&forms->childrens[1]->attachInformation);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->text, "street,O'Brien Road, 5");
  EXPECT_EQ(form->parts, (std::vector<std::string>{"street", "O'Brien Road, 5"}));

  // Every file below the folder but the journal.
  EXPECT_EQ(titlesOf(chrome->childrens[7]),
            (std::vector<std::string>{"https_x_0.localstorage", "000003.log"}));
  for (const FilePtr& item : chrome->childrens[7]->childrens) {
    EXPECT_EQ(item->levelInt, 1);
    EXPECT_EQ(item->parentFileInfo.lock(), chrome->childrens[7]);
  }
}

TEST_F(BrowserScanTest, StoresOfAnotherSchemaOrNoProfileGiveNothing) {
  const std::string folder = sb_.path("~/Library/Application Support/Google/Chrome/Default");
  testing::Db(folder + "/History")
      .exec("CREATE TABLE meta(key LONGVARCHAR NOT NULL UNIQUE PRIMARY KEY, value LONGVARCHAR);");
  sb_.file("~/Library/Application Support/Google/Chrome/Default/Web Data", "not sqlite");
  CategoryPtr chrome = testing::scanned("Chrome");
  ASSERT_EQ(chrome->childrens.size(), 8u);
  for (const FilePtr& group : chrome->childrens) {
    SCOPED_TRACE(group->title);
    EXPECT_TRUE(group->childrens.empty());
  }
  EXPECT_FALSE(std::filesystem::exists(folder + "/cookies"));
  EXPECT_FALSE(std::filesystem::exists(folder + "/login Data"));
  // Firefox without a default profile has no groups at all.
  sb_.dir("~/Library/Application Support/Firefox/Profiles/x.dev-edition");
  EXPECT_TRUE(testing::scanned("Firefox")->childrens.empty());
}

TEST_F(BrowserScanTest, FirefoxGroupsAndItems) {
  const std::string profile = testing::makeFirefoxStores(sb_);
  CategoryPtr firefox = testing::scanned("Firefox");
  expectGroups(firefox,
               {"Visit History", "Download History", "Download File History", "Search History",
                "Cookies", "Auto Fills Value", "Login History"},
               {Status::Visit, Status::Download, Status::DownloadFile, Status::Search,
                Status::Cookies, Status::AutoValue, Status::LoginHistory});
  EXPECT_EQ(firefox->childrens[0]->url.path(), profile + "/places.sqlite");
  expectItems(firefox->childrens[0],
              {{"https://mozilla.example/", 1600000000, "https://mozilla.example/", "1"},
               {"https://mozilla.example/", 1500000000, "https://mozilla.example/", "1"}},
              1);
  const std::string kept = sb_.path("~/Downloads/My File.txt");
  // The state record is left out; the address is turned into a path.
  expectItems(
      firefox->childrens[1],
      {{"My%20File.txt", 1700000000, kept, "20"}, {"x.zip", 1700000000, "/nowhere/x.zip", "22"}},
      1);
  expectItems(firefox->childrens[2], {{"My%20File.txt", 1700000000, kept, "20"}}, 1);
  expectItems(firefox->childrens[3], {{"kw", 1610000000, "https://kw.example/search", "5"}}, 1);
  expectItems(firefox->childrens[4],
              {{"example.org", 1650000000, "", "7"}, {"other.org", 1650000001, "", "8"}}, 1);
  expectItems(firefox->childrens[5],
              {{"searchbar-history", 1600000000, "", "3"}, {"email", 0, "", "4"}}, 1);
  expectItems(firefox->childrens[6],
              {{"https://login.example", 1600000000, "", "1"},
               {"https://other.example", 1600000001, "", "2"}},
              1);
  // Login times keep their milliseconds.
  EXPECT_EQ(
      firefox->childrens[6]->childrens[0]->date.time_since_epoch(),
      std::chrono::duration_cast<Timestamp::duration>(std::chrono::milliseconds(1600000000123)));
}

FilePtr itemWithAttachment(const FilePtr& group, const std::string& attachment) {
  for (const FilePtr& item : group->childrens) {
    if (attachmentText(item) == attachment) return item;
  }
  return nullptr;
}

// Addresses of more forms next to the builders' rows: query, fragment and
// escapes, other schemes, a text that is no address, and a web address where
// a download path is expected whose path part is a file here.
TEST_F(BrowserScanTest, ItemUrlsAreTheAddressesInTheStores) {
  testing::Db(testing::makeSafariStores(sb_))
      .exec(
          "INSERT INTO history_items (id, url, visit_count) VALUES "
          "(4, 'https://shop.example/cart?item=1&q=a%20b#top', 1), (5, 'about:blank', 1);"
          "INSERT INTO history_visits (id, history_item, visit_time, title) VALUES "
          "(14, 4, 1, 'Cart'), (15, 5, 2, NULL);");
  testing::Db(testing::makeChromeStores(sb_) + "/History")
      .exec(
          "INSERT INTO urls (id, url, title, last_visit_time) VALUES "
          "(4, 'chrome://settings/', 'Settings', 0),"
          "(5, 'https://xn--caf-dma.example/men%C3%BC?x=1', 'Menu', 0),"
          "(6, 'https://bad host.example/', 'Bad', 0);"
          "INSERT INTO visits (id, url, visit_time) VALUES (103, 4, 0), (104, 5, 0), (105, 6, 0);"
          "INSERT INTO keyword_search_terms (keyword_id, url_id, term, normalized_term) VALUES "
          "(1, 5, 'menu', 'menu');");
  const std::string myFile = percentEncodePath(sb_.path("~/Downloads/My File.txt"));
  {
    testing::Db db(testing::makeFirefoxStores(sb_) + "/places.sqlite");
    db.exec(
        "INSERT INTO moz_places (id, url) VALUES (3, 'https://mozilla.example/docs/?lang=de#a');"
        "INSERT INTO moz_historyvisits (id, place_id, visit_date) VALUES (12, 3, 1);"
        "INSERT INTO moz_keywords (id, keyword, place_id) VALUES (6, 'docs', 3);"
        "INSERT INTO moz_annos (id, place_id, anno_attribute_id, content, dateAdded) VALUES "
        "(24, 3, 3, 'UTF-8', 1);");
    db.run(
        "INSERT INTO moz_annos (id, place_id, anno_attribute_id, content, dateAdded) VALUES "
        "(23, 3, 2, ?, 1)",
        {"https://cdn.example" + myFile});
  }
  CategoryPtr safari = testing::scanned("Safari");
  CategoryPtr chrome = testing::scanned("Chrome");
  CategoryPtr firefox = testing::scanned("Firefox");

  const std::string docs = "https://mozilla.example/docs/?lang=de#a";
  const std::string menu = "https://xn--caf-dma.example/men%C3%BC?x=1";
  // Per added row, its item's address; a text that is no address (a blank in
  // it, a bare name) gives the empty placeholder "file://".
  const struct {
    CategoryPtr category;
    const char* group;
    const char* attachment;
    std::string url;
  } cases[] = {
      {safari, "Visit History", "14", "https://shop.example/cart?item=1&q=a%20b#top"},
      {safari, "Visit History", "15", "about:blank"},
      {chrome, "Visit History", "103", "chrome://settings/"},
      {chrome, "Visit History", "104", menu},
      {chrome, "Visit History", "105", "file://"},
      {chrome, "Search History", "5", menu},
      {firefox, "Visit History", "3", docs},
      {firefox, "Search History", "6", docs},
      {firefox, "Download History", "23", "https://cdn.example" + myFile},
      {firefox, "Download History", "24", "file://"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.category->title + ": " + c.group + " " + c.attachment);
    const FilePtr item = itemWithAttachment(groupTitled(c.category, c.group), c.attachment);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->url.absoluteString(), c.url);
    EXPECT_EQ(item->url.empty(), c.url == "file://");
  }
  // A download whose address is a web one is never taken for a file.
  std::vector<std::string> files;
  for (const FilePtr& item : groupTitled(firefox, "Download File History")->childrens) {
    files.push_back(item->url.absoluteString());
  }
  EXPECT_EQ(files, std::vector<std::string>{"file://" + myFile});
  // Web addresses keep their path part as the path, never a file's.
  const FilePtr cart = itemWithAttachment(groupTitled(safari, "Visit History"), "14");
  ASSERT_TRUE(cart);
  EXPECT_EQ(cart->title, "Cart");
  EXPECT_FALSE(cart->url.isFileURL());
  EXPECT_EQ(cart->url.scheme(), "https");
  EXPECT_EQ(cart->url.path(), "/cart");
}

}  // namespace
}  // namespace orvexa
