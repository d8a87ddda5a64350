#include <gtest/gtest.h>
#include <pwd.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <tuple>

#include "orvexa/clean/privacy_clean_service.h"
#include "orvexa/platform/plist.h"
#include "orvexa/units/sqlite_tool.h"
#include "scan/privacy/privacy_support.h"
#include "support/browser_store_fixture.h"
#include "support/describe.h"
#include "support/run_as.h"
#include "support/run_program.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clean = PrivacyCleanResult (*)(const CategoryPtr&);
using testing::describeOutcome;
using testing::describeRecords;
using testing::groupTitled;
using testing::rows;
using testing::Sandbox;
using testing::tick;

// What a clean leaves is unticked and numbered again from 0 in its group.
void expectRenumbered(const CategoryPtr& category) {
  for (const FilePtr& group : category->childrens) {
    for (size_t j = 0; j < group->childrens.size(); ++j) {
      const FilePtr& r = group->childrens[j];
      EXPECT_TRUE(group->state == 0 && r->state == 0 && r->finderID() == static_cast<int>(j) &&
                  r->parentFinderID == group->finderID())
          << group->title << " " << j;
    }
  }
}

// A rewrite leaves no temporary (hidden) file beside the store.
void expectNoTemporaryFile(const std::string& folder) {
  for (const auto& entry : fs::directory_iterator(folder))
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
}

class PrivacyBrowserCleanTest : public ::testing::Test {
 protected:
  Sandbox sb_;
};

// Per browser: the ticked rows and files go and nothing else; stores gone
// since the scan, or named otherwise in a statement, are not created.
TEST_F(PrivacyBrowserCleanTest, TickedRowsAndFilesOfEveryBrowserGo) {
  // Per browser: its clean; ticks, each a group's title, ticking its first
  // item, or with "@" and the positions ticked as digits; left: per store
  // below the browser's folder, a query and the rows it gives after the
  // clean; gone and kept: paths below that folder, or in the sandbox when
  // they start with "~".
  using Texts = std::vector<std::string>;
  using Left = std::tuple<const char*, const char*, Texts>;
  // Ticked: Safari's visit 11; Chrome's visit 100, report.pdf, cdn.example.net,
  // the login without user name, leveldb/000003.log and every form value
  // (whose store goes before the clean); Firefox's place 1.
  const std::tuple<std::string, Clean, Texts, std::vector<Left>, Texts, Texts> cases[] = {
      {"Safari",
       PrivacyCleanService::cleanSafari,
       {"Visit History", "Download History", "Last Tabs", "LocalStorage", "Cookies"},
       {{"History.db", "SELECT id FROM history_visits ORDER BY id", {"10", "12", "13"}}},
       {"LastSession.plist", "LocalStorage/https_a.example_0.localstorage",
        "~/Cookies/Cookies.binarycookies"},
       {"LocalStorage/https_b.example_0.localstorage"}},
      {"Chrome",
       PrivacyCleanService::cleanChrome,
       {"Visit History", "Download History@1", "Download File History", "Search History", "Cookies",
        "Login History@1", "LocalStorage@1", "Auto Fills Value@0123"},
       {{"History", "SELECT id FROM visits ORDER BY id", {"101", "102"}},
        {"History", "SELECT count(*) FROM urls", {"3"}},
        {"History", "SELECT id FROM downloads", {"1"}},
        {"History", "SELECT url_id FROM keyword_search_terms", {}},
        {"Cookies", "SELECT host_key FROM cookies", {".example.com"}},
        {"Login Data", "SELECT username_value FROM logins", {"me@example"}}},
       {"~/Downloads/report.pdf", "Local Storage/leveldb/000003.log", "cookies", "login Data",
        "Web Data"},
       {"Local Storage/https_x_0.localstorage"}},
      {"Firefox",
       PrivacyCleanService::cleanFirefox,
       {"Visit History", "Download History@1", "Download File History", "Search History",
        "Cookies@1", "Auto Fills Value", "Login History"},
       {{"places.sqlite", "SELECT id FROM moz_places", {"2"}},
        {"places.sqlite", "SELECT id FROM moz_annos ORDER BY id", {"20", "21"}},
        {"places.sqlite", "SELECT id FROM moz_keywords", {}},
        {"cookies.sqlite", "SELECT id FROM moz_cookies", {"7"}},
        {"formhistory.sqlite", "SELECT id FROM moz_formhistory", {"4"}},
        {"../a.default/places.sqlite", "SELECT id FROM moz_places", {"1"}}},  // not read
       {"~/Downloads/My File.txt"},
       {}},
  };
  for (const auto& [browser, clean, ticks, left, gone, kept] : cases) {
    SCOPED_TRACE(browser);
    const std::string folder = browser == "Safari"
                                   ? fs::path(testing::makeSafariStores(sb_)).parent_path().string()
                               : browser == "Chrome" ? testing::makeChromeStores(sb_)
                                                     : testing::makeFirefoxStores(sb_);
    auto at = [&](const std::string& path) {
      return path.front() == '~' ? sb_.path(path) : folder + "/" + path;
    };
    CategoryPtr category = testing::scanned(browser);
    std::vector<FilePtr> groups;
    std::string ticked;
    for (const std::string& t : ticks) {
      const std::string title = t.substr(0, t.find('@'));
      std::vector<size_t> positions;
      for (const char d : t.size() > title.size() ? t.substr(title.size() + 1) : "0")
        positions.push_back(static_cast<size_t>(d - '0'));
      groups.push_back(groupTitled(category, title));
      tick(groups.back(), positions);
      ticked += title + " deleted\n";
    }
    if (browser == "Chrome") fs::remove(folder + "/Web Data");
    EXPECT_EQ(describeOutcome(clean(category)), "Success\n");
    EXPECT_EQ(describeRecords(groups), ticked);
    for (const auto& [store, query, expected] : left) {
      EXPECT_EQ(rows(at(store), query), expected) << query;
      EXPECT_EQ(testing::integrityOf(at(store)), "ok") << store;
    }
    for (const std::string& path : gone) EXPECT_FALSE(fs::exists(at(path))) << path;
    for (const std::string& path : kept) EXPECT_TRUE(fs::exists(at(path))) << path;
    expectNoTemporaryFile(folder);
    expectRenumbered(category);
  }
  // Safari's download list is rewritten in its own format, without the entry.
  const std::string list = testing::readFile(sb_.path("~/Library/Safari/Downloads.plist"));
  PlistValue left = testing::storePlist(sb_, "safari_downloads.plist");
  PlistValue::Array& entries = *left.find("DownloadHistory")->asArray();
  entries.erase(entries.begin());  // ID-1, ticked
  EXPECT_EQ(readPlist(list), left);
  EXPECT_EQ(list.substr(0, 8), "bplist00");
}

// What `clean` did to a category holding one group, as text: the outcome
// with its failed items, the group's mark, and the items left with their
// marks.
std::string cleanReport(Clean clean, const CategoryPtr& category) {
  const std::string outcome = describeOutcome(clean(category));
  return outcome + describeRecords(category->childrens) +
         describeRecords(category->childrens.at(0)->childrens);
}

// That report when item `item` of group `group` failed for `why`, and
// `left` the lines of the items left after it.
std::string failedReport(const std::string& group, const std::string& item, const std::string& why,
                         const std::string& left = "") {
  const std::string failed = item + " failed: " + why + "\n";
  return "Fail\n" + failed + group + " failed\n" + failed + left;
}

// Runs `fn` where it may read `folder`'s files but not create one there: as
// an unprivileged user when this process is root (root ignores a folder's
// mode), else with the folder made read-only for the time of the call.
std::optional<std::string> withoutWriteRights(const Sandbox& sb, const std::string& folder,
                                              const std::function<std::string()>& fn) {
  if (testing::canSwitchUser()) {
    // The tree is readable by all but for its private temporary root.
    EXPECT_EQ(::chmod(sb.root().c_str(), 0755), 0);
    return testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, fn);
  }
  EXPECT_EQ(::chmod(folder.c_str(), 0555), 0);
  std::string text = fn();
  EXPECT_EQ(::chmod(folder.c_str(), 0755), 0);
  return text;
}

// A category of `browser` holding one group of `status` whose items, all
// ticked, are titled and attached by `ids` (separated by blanks; "-" is an
// item without attachment).
CategoryPtr oneGroup(const std::string& browser, privacy::Status status, const std::string& ids) {
  CategoryPtr category = testing::privacyCategory(browser);
  FilePtr group = privacy::makeGroup(category, 0, status, Url(), "");
  std::vector<FilePtr> items;
  std::istringstream words(ids);
  for (std::string id; words >> id;) {
    const std::any attached = id == "-" ? std::any() : std::any(id);
    const int finderID = static_cast<int>(items.size());
    items.push_back(privacy::makeItem(group, category, finderID, id, {}, Url(), attached, 1));
    items.back()->state = 1;
  }
  privacy::attach(group, std::move(items));
  group->state = 1;
  category->childrens = {group};
  return category;
}

// Logins go as spans of the file's text; every other byte stays, whatever a
// parser would make of it. A file that cannot be written back fails the
// logins found in it, which stay, and leaves no temporary file.
TEST_F(PrivacyBrowserCleanTest, FirefoxLoginsAreCutOutByteExactly) {
  const std::string profile = testing::makeFirefoxStores(sb_);
  const std::string store = profile + "/logins.json";
  const std::string deep = std::string(300, '[') + std::string(300, ']'), bom = "\xEF\xBB\xBF";
  auto failed = [](const std::string& why, const std::string& left = "") {
    return failedReport("Login History", "1", why, left);
  };
  // Per case: the file before; the ids ticked; after: "" when the file must
  // not change; report: as cleanReport gives it ("": every ticked login
  // went); readOnly: the folder may not be written.
  using Row = std::tuple<const char*, std::string, const char*, std::string, std::string, bool>;
  const std::string head = "{\"version\" : 3,\n  \"logins\": [\n    ",
                    tail = "\n  ],\n  \"nextId\": 3}\n";
  const std::string big = "{\"id\": 2, \"big\": 123456789012345678901234567890, \"e\": 1E+2}";
  const Row cases[] = {
      {"large numbers, odd key order, layout",
       head + "{\"timeCreated\": 18446744073709551615, \"id\": 1, \"x\": 1.50},\n    " + big + tail,
       "1", head + big + tail, "", false},
      {"duplicate keys: the last id counts, repeats stay",
       R"({"logins":[{"id":1},{"id":2,"id":3},{"id":4}],"dup":1,"dup":2})", "3 4",
       R"({"logins":[{"id":1}],"dup":1,"dup":2})", "", false},
      {"the last logins list is the one read, after a byte order mark",
       bom + R"({"logins":[{"id":1}],"logins":[{"id":0},{"id":1},{"id":2}]})", "1",
       bom + R"({"logins":[{"id":1}],"logins":[{"id":0},{"id":2}]})", "", false},
      {"every login, with blanks", "{\"logins\": [ {\"id\":1} ,\n {\"id\":2} ]}", "2 1",
       "{\"logins\": [  ]}", "", false},
      {"brackets and quotes in strings, escaped key, deep value",
       R"({"logins":[{"host":"a]},\"{[","\u0069d":1,"d":)" + deep + R"(},{"id":2}]})", "1",
       R"({"logins":[{"id":2}]})", "", false},
      {"ids that match nothing keep their mark", R"({"logins":[{"id":1.0},{"id":"2"}]})", "1 2 two",
       "", "Success\nLogin History deleted\n1 deleting\n2 deleting\ntwo deleting\n", false},
      {"unreadable file", "{\"logins\": [", "1", "",
       failed("The logins file could not be read: nothing was removed from it"), false},
      {"cannot be written back: the login found fails, 99 matches nothing",
       R"({"logins":[{"id":1}]})", "1 99", "", failed("Cannot write " + store, "99 deleting\n"),
       true},
  };
  for (const auto& [name, before, ids, after, report, readOnly] : cases) {
    SCOPED_TRACE(name);
    testing::writeFileAt(store, before);
    CategoryPtr firefox = oneGroup("Firefox", privacy::Status::LoginHistory, ids);
    auto clean = [&] { return cleanReport(PrivacyCleanService::cleanFirefox, firefox); };
    EXPECT_EQ(readOnly ? withoutWriteRights(sb_, profile, clean) : clean(),
              report.empty() ? "Success\nLogin History deleted\n" : report);
    EXPECT_EQ(testing::readFile(store), after.empty() ? before : after);
    expectNoTemporaryFile(profile);
  }
}

// An XML download list loses only the removed entry and the blanks before
// it; comments, large numbers, character data and layout stay. A list that
// cannot be read or holds no history, or an item without identifier, fails
// the item, which stays.
TEST_F(PrivacyBrowserCleanTest, SafariXmlDownloadListIsCutByteExactly) {
  // The list, cut at "|" into its head, two entries and its tail.
  std::vector<std::string> parts;
  std::istringstream pieces(testing::testData("clean/safari_downloads_cut.xml"));
  for (std::string part; std::getline(pieces, part, '|');) parts.push_back(part);
  ASSERT_EQ(parts.size(), 4u);
  const std::string &head = parts[0], &first = parts[1], &second = parts[2], &tail = parts[3];
  const std::string store = sb_.path("~/Library/Safari/Downloads.plist");
  const std::string noList = writePlist(PlistValue::dictionary(), PlistFormat::Xml);
  // id: "-" when the item has none; after: "" when there is no file after
  // the clean; why: "" when the item went.
  const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
      {"ID-1", head + first + second + tail, head + second + tail, ""},
      {"ID-2", head + first + second + tail, head + first + tail, ""},
      {"-", head + first + tail, head + first + tail, "No download identifier"},
      {"ID-1", "", "", "Cannot read " + store},
      {"ID-1", noList, noList, "No download history in " + store},
  };
  for (const auto& [id, before, after, why] : cases) {
    SCOPED_TRACE(why);
    fs::remove(store);
    if (!before.empty()) sb_.file("~/Library/Safari/Downloads.plist", before);
    CategoryPtr safari = oneGroup("Safari", privacy::Status::Download, id);
    EXPECT_EQ(cleanReport(PrivacyCleanService::cleanSafari, safari),
              why.empty() ? "Success\nDownload History deleted\n"
                          : failedReport("Download History", id, why));
    EXPECT_EQ(fs::exists(store) ? testing::readFile(store) : "", after);
  }
}

// A download's file goes only when it is a regular file in the home. Values
// of the stores and of the host are bound, never spliced into a statement:
// quotes, commas and "OR 1=1" reach only the row they name.
TEST_F(PrivacyBrowserCleanTest, DownloadLocationsAndBoundAttachmentsTakeOnlyWhatTheyName) {
  const std::string profile = testing::makeChromeStores(sb_);
  const std::string outside = sb_.file("/Elsewhere/keep/data.txt", 3);
  sb_.file("~/Downloads/unpacked/inner.txt", 2);
  fs::create_symlink(sb_.path("/Elsewhere/keep"), sb_.path("~/Linked"));
  fs::create_symlink(outside, sb_.path("~/Downloads/link.txt"));
  ASSERT_EQ(::mkfifo(sb_.path("~/Downloads/pipe").c_str(), 0600), 0);
  const std::string outsideHome = "not removed: outside your home folder";
  const std::string notRegular = "not removed: not a regular file";
  // Per case: the path of the download and why it stays ("": removed).
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"file outside the home", outside, outsideHome},
      {"folder outside the home", sb_.path("/Elsewhere/keep"), outsideHome},
      {"out by ..", sb_.path("~/Downloads/../../../Elsewhere/keep/data.txt"), outsideHome},
      {"the home itself", sb_.home(), outsideHome},
      {"folder in the home", sb_.path("~/Downloads/unpacked"), notRegular},
      {"link in the home", sb_.path("~/Downloads/link.txt"), notRegular},
      {"pipe in the home", sb_.path("~/Downloads/pipe"), notRegular},
      {"a path as written, not decoded", sb_.file("~/Downloads/a%20b.txt", 1), ""},
      {"file below a linked folder", sb_.path("~/Linked/data.txt"),
       "not removed: a folder on its path is a link"},
      // As a host may hand it back: a web address whose path is a file here.
      {"web address", sb_.file("~/Downloads/web.txt", 1),
       "Not a file: https://files.example" + percentEncodePath(sb_.path("~/Downloads/web.txt"))},
      {"regular file in the home", sb_.path("~/Downloads/report.pdf"), ""},  // the store's own row
  };
  for (size_t i = 0; i + 1 < std::size(cases); ++i) {  // newest first, in case order
    const std::string& path = std::get<1>(cases[i]);
    testing::Db(profile + "/History")
        .run("INSERT INTO downloads VALUES (?, 'g', ?, ?, ?, 1, 'x')",
             {std::to_string(10 + i), path, path,
              std::to_string(testing::chromeTime(1800000000 - static_cast<int64_t>(i)))});
  }
  CategoryPtr chrome = testing::scanned("Chrome");
  const FilePtr files = groupTitled(chrome, "Download File History");
  ASSERT_EQ(files->childrens.size(), std::size(cases));
  const std::vector<FilePtr> items = files->childrens;
  items[std::size(cases) - 2]->url =
      Url::fromString(std::get<2>(cases[std::size(cases) - 2]).substr(12));
  tick(files, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  const FilePtr visits = groupTitled(chrome, "Visit History");
  const FilePtr logins = groupTitled(chrome, "Login History");
  const FilePtr forms = groupTitled(chrome, "Auto Fills Value");
  const FilePtr quoted = forms->childrens[1];
  // As a host may hand them back: a row id that is not a number, no
  // attachment at all, and joined texts instead of row keys.
  visits->childrens[0]->attachInformation = std::string("100 OR 1=1");
  visits->childrens[1]->attachInformation = std::any{};
  logins->childrens[0]->attachInformation =
      std::string("https://accounts.example/login,https://accounts.example/");
  forms->childrens[0]->attachInformation = std::string("email,me@example");
  tick(visits, {0, 1, 2});
  tick(logins, {0});
  tick(forms, {0, 1});

  // The refused downloads and visit 100 fail.
  PrivacyCleanResult result = PrivacyCleanService::cleanChrome(chrome);
  EXPECT_TRUE(result.first == PrivacyDeleteEnum::Fail &&
              result.second.size() == std::size(cases) - 1);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [name, path, why] = cases[i];
    EXPECT_EQ(describeRecords({items[i]}),
              items[i]->title + (why.empty() ? " deleted\n" : " failed: " + why + "\n"))
        << name;
    EXPECT_EQ(fs::exists(fs::symlink_status(path)), !why.empty()) << name;
  }
  EXPECT_EQ(testing::readFile(outside).size(), 3u);
  EXPECT_TRUE(fs::exists(sb_.path("~/Downloads/unpacked/inner.txt")));

  // Visit 100 (bad id) and 101 (no attachment, skipped) stay; 102 went.
  EXPECT_EQ(describeRecords({visits}) + describeRecords(visits->childrens),
            "Visit History failed\nNews failed: Not a row identifier: \"100 OR 1=1\"\n"
            "file:///Users/tester/page.html -\n");
  EXPECT_EQ(rows(profile + "/History", "SELECT id FROM visits ORDER BY id"),
            (std::vector<std::string>{"100", "101"}));
  // Fewer than two commas: the missing user name is empty, which is the
  // second login's.
  EXPECT_EQ(rows(profile + "/Login Data", "SELECT username_value FROM logins"),
            (std::vector<std::string>{"me@example"}));
  // The joined "email" text took its row; of the quoted value only its own
  // row went: not its prefix "O'Brien Road", not the row whose texts read the
  // same once joined with ",".
  EXPECT_EQ(rows(profile + "/Web Data",
                 "SELECT name || '|' || value FROM autofill ORDER BY date_created"),
            (std::vector<std::string>{"street|O'Brien Road", "street,O'Brien Road| 5"}));
  EXPECT_EQ(describeRecords({quoted, forms}) + describeRecords(forms->childrens),
            "street deleted\nAuto Fills Value deleted\nstreet -\nstreet,O'Brien Road -\n");
}

// A running browser holds its stores: the scan lists the committed rows from
// a copy and says why, the clean changes nothing and says why (each listed
// row fails), and a failure in the middle of an edit takes back the whole
// edit.
TEST(PrivacyLockedStoreTest, ScanReadsACopyCleanLeavesTheStoreAndRollsBack) {
  SqliteTool::setBusyTimeout(std::chrono::milliseconds(50));
  const char* kCopied = "Chrome is running: its store is locked, so a copy of it was read";
  // A tiny cache makes the uncommitted inserts spill into the file.
  const std::string spill =
      "PRAGMA cache_size=2; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
      "WHERE i < 3000) INSERT INTO urls (url, last_visit_time) SELECT randomblob(200), 0 FROM n;";
  const std::string running = "Chrome is running: quit it and clean again";
  // holder: run in another process, held while scanning and cleaning;
  // visits: the rows listed, and those left after the clean; why: the
  // clean's error.
  const std::tuple<const char*, std::string, std::vector<std::string>, std::string> cases[] = {
      {"BEGIN EXCLUSIVE, uncommitted changes spilled into the file",
       "BEGIN EXCLUSIVE; DELETE FROM visits WHERE id = 100;" + spill,
       {"100", "101", "102"},
       running},
      {"WAL writer with committed and uncommitted frames",
       "PRAGMA journal_mode=WAL; PRAGMA locking_mode=EXCLUSIVE; INSERT INTO visits (id, url, "
       "visit_time) VALUES (103, 1, 0); BEGIN; DELETE FROM visits WHERE id = 100;" +
           spill,
       {"100", "101", "102", "103"},
       running},
      {"not locked: a statement fails in the middle of the edit",
       "CREATE TRIGGER keep BEFORE DELETE ON visits WHEN old.id = 102 BEGIN SELECT "
       "RAISE(ABORT, 'refused'); END;",
       {"100", "101", "102"},
       "refused"},
  };
  for (const auto& [name, holder, visits, why] : cases) {
    SCOPED_TRACE(name);
    Sandbox sb(::getpwuid(::geteuid())->pw_name);  // the program's own home
    const std::string history = testing::makeChromeStores(sb) + "/History";
    std::vector<std::string> program = {
        testing::orvexaProgram(), "--root", sb.root(), "--quiet", "--json", "privacy"};
    {
      // The browser: another process holding its statements until closed.
      const std::string ready = sb.path("/ready");
      std::unique_ptr<FILE, int (*)(FILE*)> browser(
          ::popen(("sqlite3 '" + history + "' > '" + ready + "'").c_str(), "we"), ::pclose);
      std::fprintf(browser.get(), "%s\n.print ready\n", holder.c_str());
      std::fflush(browser.get());
      for (int i = 0; i < 1000 && testing::readFile(ready).find("ready") == std::string::npos; ++i)
        ::usleep(10000);
      const std::string listed = testing::runProgram(program).out;
      EXPECT_EQ(listed.find(kCopied) != std::string::npos, why != "refused") << listed;
      program.insert(program.end(), {"--clean", "chrome:Visit History", "--yes"});
      const testing::ProgramResult cleaned = testing::runProgram(program);
      EXPECT_EQ(cleaned.exitCode, 1);
      const json failed = json::parse(cleaned.out)["clean"]["failed"];
      EXPECT_EQ(failed.size(), visits.size());  // as many as were listed
      for (const json& item : failed) EXPECT_EQ(item["deleteErrorDesc"], why);
    }
    EXPECT_EQ(rows(history, "SELECT id FROM visits ORDER BY id"), visits);
    EXPECT_EQ(testing::integrityOf(history), "ok");
    EXPECT_TRUE(!fs::exists(sb.path("~/Documents")) ||
                fs::is_empty(sb.path("~/Documents")));  // the copy is gone
  }
}

}  // namespace
}  // namespace orvexa
