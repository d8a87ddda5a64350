#include <gtest/gtest.h>
#include <pwd.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

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

using json = nlohmann::json;
using testing::describeOutcome;
using testing::describeRecords;
using testing::groupTitled;
using testing::integrityOf;
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
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
}

class PrivacyBrowserCleanTest : public ::testing::Test {
 protected:
  Sandbox sb_;
};

// Per browser: the ticked rows and files go and nothing else; stores gone
// since the scan, or named otherwise in a statement, are not created.
TEST_F(PrivacyBrowserCleanTest, TickedRowsAndFilesOfEveryBrowserGo) {
  // Per browser: ticks, the positions ticked by group title; left: per
  // store below the browser's folder, a query and the rows it gives after
  // the clean; gone and kept: paths below that folder, or in the sandbox
  // when they start with "~". Ticked: Safari's visit 11; Chrome's visit 100, report.pdf,
  // cdn.example.net, the login without user name, leveldb/000003.log and
  // every form value (whose store goes before the clean); Firefox's place 1.
  // The other Firefox profile (a.default) is not read.
  for (const json& c : json::parse(testing::testData("clean/browser_ticks.json"))) {
    const std::string browser = c["browser"];
    SCOPED_TRACE(browser);
    const std::string folder = browser == "Safari"   ? sb_.path("~/Library/Safari")
                               : browser == "Chrome" ? testing::makeChromeStores(sb_)
                                                     : testing::makeFirefoxStores(sb_);
    if (browser == "Safari") testing::makeSafariStores(sb_);
    auto at = [&](const std::string& path) {
      return path.front() == '~' ? sb_.path(path) : folder + "/" + path;
    };
    CategoryPtr category = testing::scanned(browser);
    std::vector<FilePtr> groups;
    std::string ticked;
    for (const auto& [title, positions] : c["ticks"].items()) {
      groups.push_back(groupTitled(category, title));
      tick(groups.back(), positions.get<std::vector<size_t>>());
      ticked += title + " deleted\n";
    }
    if (browser == "Chrome") std::filesystem::remove(folder + "/Web Data");
    PrivacyCleanResult result = browser == "Safari"   ? PrivacyCleanService::cleanSafari(category)
                                : browser == "Chrome" ? PrivacyCleanService::cleanChrome(category)
                                                      : PrivacyCleanService::cleanFirefox(category);
    EXPECT_EQ(describeOutcome(result), "Success\n");
    EXPECT_EQ(describeRecords(groups), ticked);
    for (const json& left : c["left"]) {
      EXPECT_EQ(rows(at(left["store"]), left["query"]),
                left["rows"].get<std::vector<std::string>>())
          << left["query"];
      EXPECT_EQ(integrityOf(at(left["store"])), "ok") << left["store"];
    }
    for (const std::string kept : {"gone", "kept"}) {
      for (const std::string path : c[kept])
        EXPECT_EQ(std::filesystem::exists(at(path)), kept == "kept") << path;
    }
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

// What a clean of a Firefox category holding only its logins group did, as
// text: the outcome with its failed items, the group's mark, and the items
// left with their marks.
std::string cleanLoginsReport(const CategoryPtr& firefox) {
  const std::string outcome = describeOutcome(PrivacyCleanService::cleanFirefox(firefox));
  return outcome + describeRecords(firefox->childrens) +
         describeRecords(firefox->childrens.at(0)->childrens);
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

// A Firefox category holding only a logins group whose items name `ids`
// (separated by blanks), all ticked.
CategoryPtr loginsCategory(const std::string& ids) {
  CategoryPtr firefox = testing::privacyCategory("Firefox");
  FilePtr group = privacy::makeGroup(firefox, 0, privacy::Status::LoginHistory, Url(), "");
  std::vector<FilePtr> items;
  std::istringstream words(ids);
  for (std::string id; words >> id;) {
    items.push_back(
        privacy::makeItem(group, firefox, static_cast<int>(items.size()), id, {}, Url(), id, 1));
    items.back()->state = 1;
  }
  privacy::attach(group, std::move(items));
  group->state = 1;
  firefox->childrens = {group};
  return firefox;
}

// Logins go as spans of the file's text; every other byte stays, whatever a
// parser would make of it. A file that cannot be written back fails the
// logins found in it, which stay, and leaves no temporary file.
TEST_F(PrivacyBrowserCleanTest, FirefoxLoginsAreCutOutByteExactly) {
  const std::string profile = testing::makeFirefoxStores(sb_);
  const std::string store = profile + "/logins.json";
  // Per case: ids ticked; after: the file after the clean (none: it must
  // not change); report: as cleanLoginsReport gives it, "{store}" standing
  // for the file (none: every ticked login went); readOnly: the folder may
  // not be written.
  for (const json& c : json::parse(testing::testData("clean/firefox_logins_cuts.json"))) {
    SCOPED_TRACE(c["name"]);
    const std::string before = c["before"];
    std::string report = c.value("report", "Success\nLogin History deleted\n");
    for (size_t at; (at = report.find("{store}")) != std::string::npos;)
      report.replace(at, 7, store);
    testing::writeFileAt(store, before);
    CategoryPtr firefox = loginsCategory(c["ids"]);
    EXPECT_EQ(c.value("readOnly", false)
                  ? withoutWriteRights(sb_, profile, [&] { return cleanLoginsReport(firefox); })
                  : cleanLoginsReport(firefox),
              report);
    EXPECT_EQ(testing::readFile(store), c.value("after", before));
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
  // id: null when the item has none; after: "" when there is no file after
  // the clean; why: "" when the item went.
  const struct {
    const char* id;
    std::string before, after, why;
  } cases[] = {
      {"ID-1", head + first + second + tail, head + second + tail, ""},
      {"ID-2", head + first + second + tail, head + first + tail, ""},
      {nullptr, head + first + tail, head + first + tail, "No download identifier"},
      {"ID-1", "", "", "Cannot read " + store},
      {"ID-1", noList, noList, "No download history in " + store},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::filesystem::remove(store);
    if (!c.before.empty()) sb_.file("~/Library/Safari/Downloads.plist", c.before);
    CategoryPtr safari = testing::privacyCategory("Safari");
    FilePtr group = privacy::makeGroup(safari, 0, privacy::Status::Download, Url(), "");
    privacy::attach(group, {privacy::makeItem(group, safari, 0, "item", {}, Url(),
                                              c.id ? std::any(std::string(c.id)) : std::any(), 3)});
    safari->childrens = {group};
    tick(group, {0});
    const std::string failed = "item failed: " + c.why + "\n";
    const std::string outcome = describeOutcome(PrivacyCleanService::cleanSafari(safari));
    EXPECT_EQ(outcome + describeRecords({group}) + describeRecords(group->childrens),
              c.why.empty() ? "Success\nDownload History deleted\n"
                            : "Fail\n" + failed + "Download History failed\n" + failed);
    EXPECT_EQ(std::filesystem::exists(store) ? testing::readFile(store) : "", c.after);
  }
}

// A download's file goes only when it is a regular file in the home. Values
// of the stores and of the host are bound, never spliced into a statement:
// quotes, commas and "OR 1=1" reach only the row they name.
TEST_F(PrivacyBrowserCleanTest, DownloadLocationsAndBoundAttachmentsTakeOnlyWhatTheyName) {
  const std::string profile = testing::makeChromeStores(sb_);
  const std::string outside = sb_.file("/Elsewhere/keep/data.txt", 3);
  sb_.file("~/Downloads/unpacked/inner.txt", 2);
  std::filesystem::create_symlink(sb_.path("/Elsewhere/keep"), sb_.path("~/Linked"));
  std::filesystem::create_symlink(outside, sb_.path("~/Downloads/link.txt"));
  ASSERT_EQ(::mkfifo(sb_.path("~/Downloads/pipe").c_str(), 0600), 0);
  sb_.file("~/Downloads/a%20b.txt", 1);
  sb_.file("~/Downloads/web.txt", 1);
  // Per row: a download's path in the sandbox and why it stays ("" when
  // removed); "{path}" stands for the path percent-encoded. The web address
  // is one as a host may hand it back, whose path is a file here; the last
  // row is the store's own.
  struct Case {
    std::string name, path, why;
  };
  std::vector<Case> cases;
  for (const json& c : json::parse(testing::testData("clean/download_locations.json"))) {
    cases.push_back({c["name"], sb_.path(c["path"].get<std::string>()), c["why"]});
    if (const size_t at = cases.back().why.find("{path}"); at != std::string::npos)
      cases.back().why.replace(at, 6, percentEncodePath(cases.back().path));
  }
  {
    testing::Db db(profile + "/History");
    for (size_t i = 0; i + 1 < cases.size(); ++i) {  // newest first, in case order
      db.run("INSERT INTO downloads VALUES (?, 'g', ?, ?, ?, 1, 'x')",
             {std::to_string(10 + i), cases[i].path, cases[i].path,
              std::to_string(testing::chromeTime(1800000000 - static_cast<int64_t>(i)))});
    }
  }
  CategoryPtr chrome = testing::scanned("Chrome");
  const FilePtr files = groupTitled(chrome, "Download File History");
  ASSERT_EQ(files->childrens.size(), cases.size());
  const std::vector<FilePtr> items = files->childrens;
  items[cases.size() - 2]->url = Url::fromString(cases[cases.size() - 2].why.substr(12));
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
  EXPECT_TRUE(result.first == PrivacyDeleteEnum::Fail && result.second.size() == cases.size() - 1);
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const bool stays = std::filesystem::exists(std::filesystem::symlink_status(c.path));
    EXPECT_EQ(
        describeRecords({items[i]}) + (stays ? "stays" : "gone"),
        items[i]->title + (c.why.empty() ? " deleted\ngone" : " failed: " + c.why + "\nstays"))
        << c.name;
  }
  EXPECT_EQ(testing::readFile(outside).size(), 3u);
  EXPECT_TRUE(std::filesystem::exists(sb_.path("~/Downloads/unpacked/inner.txt")));

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
  // Per case: holder, statements another process runs on the store and
  // holds while scanning and cleaning (a tiny cache makes the uncommitted
  // inserts spill into the file); visits, the rows listed and those left
  // after the clean; why, the clean's error.
  for (const json& c : json::parse(testing::testData("clean/locked_chrome_history.json"))) {
    SCOPED_TRACE(c["name"]);
    const std::string why = c["why"];
    Sandbox sb(::getpwuid(::geteuid())->pw_name);  // the program's own home
    const std::string history = testing::makeChromeStores(sb) + "/History";
    const std::vector<std::string> program = {
        testing::orvexaProgram(), "--root", sb.root(), "--quiet", "--json", "privacy"};
    {
      // The browser: another process holding its statements until closed.
      const std::string ready = sb.path("/ready");
      std::unique_ptr<FILE, int (*)(FILE*)> browser(
          ::popen(("sqlite3 '" + history + "' > '" + ready + "'").c_str(), "we"), ::pclose);
      std::fprintf(browser.get(), "%s\n.print ready\n", c["holder"].get<std::string>().c_str());
      std::fflush(browser.get());
      for (int i = 0; i < 1000 && testing::readFile(ready).find("ready") == std::string::npos; ++i)
        ::usleep(10000);
      const std::string listed = testing::runProgram(program).out;
      EXPECT_EQ(listed.find(kCopied) != std::string::npos, why != "refused") << listed;
      std::vector<std::string> clean = program;
      clean.insert(clean.end(), {"--clean", "chrome:Visit History", "--yes"});
      const testing::ProgramResult cleaned = testing::runProgram(clean);
      EXPECT_EQ(cleaned.exitCode, 1);
      const json failed = json::parse(cleaned.out)["clean"]["failed"];
      EXPECT_EQ(failed.size(), c["visits"].size());  // as many as were listed
      for (const json& item : failed) EXPECT_EQ(item["deleteErrorDesc"], why);
    }
    EXPECT_EQ(rows(history, "SELECT id FROM visits ORDER BY id"),
              c["visits"].get<std::vector<std::string>>());
    EXPECT_EQ(integrityOf(history), "ok");
    EXPECT_TRUE(!std::filesystem::exists(sb.path("~/Documents")) ||
                std::filesystem::is_empty(sb.path("~/Documents")));  // the copy is gone
  }
}

}  // namespace
}  // namespace orvexa
