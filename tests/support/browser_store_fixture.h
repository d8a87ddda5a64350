// Stores of the browsers and the system as their owners write them, for the
// privacy scan and clean tests. Their table definitions (those of the
// programs: the columns the scan and clean use, with their real names and
// types), rows and property lists are kept in tests/data/stores.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "orvexa/model/records.h"
#include "orvexa/platform/bookmark.h"
#include "orvexa/platform/keyed_archive.h"
#include "orvexa/platform/plist.h"
#include "orvexa/platform/url.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "support/launchctl_fixture.h"
#include "support/sandbox.h"
#include "support/signal.h"
#include "support/temp_dir.h"

namespace orvexa::testing {

// Chrome counts microseconds since 1601-01-01.
inline int64_t chromeTime(int64_t unixSeconds) { return (unixSeconds + 11644473600) * 1000000; }

// ---- Databases --------------------------------------------------------------

// A connection of the test's own, outside the code under test.
class Db {
 public:
  explicit Db(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) ADD_FAILURE() << "cannot open " << path;
    // The stores are built by the test alone; waiting for the disk buys nothing.
    sqlite3_exec(db_, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
  }
  ~Db() { sqlite3_close_v2(db_); }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  void exec(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << (message ? message : "?");
    }
    sqlite3_free(message);
  }
  // Runs `sql` with text parameters bound in order.
  void run(const std::string& sql, const std::vector<std::string>& params) { column(sql, params); }
  // The first column of every row of `sql` (text parameters `params` bound in
  // order), as text ("NULL" for NULL).
  std::vector<std::string> column(const std::string& sql,
                                  const std::vector<std::string>& params = {}) {
    std::vector<std::string> out;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr);
    for (size_t i = 0; rc == SQLITE_OK && i < params.size(); ++i) {
      sqlite3_bind_text(stmt, static_cast<int>(i + 1), params[i].c_str(), -1, SQLITE_TRANSIENT);
    }
    while ((rc == SQLITE_OK || rc == SQLITE_ROW) && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      out.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    if (rc != SQLITE_DONE) ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
    sqlite3_finalize(stmt);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

// The first column of `sql` on the database at `path`.
inline std::vector<std::string> rows(const std::string& path, const std::string& sql) {
  return Db(path).column(sql);
}

// "ok" when the database at `path` is sound.
inline std::string integrityOf(const std::string& path) {
  std::vector<std::string> result = Db(path).column("PRAGMA integrity_check");
  return result.size() == 1 ? result[0] : "several problems";
}

// The file tests/data/stores/<name> (the stores' table definitions, as their
// owners declare the columns the scan and clean use, and their rows), with
// "@HOME@" standing for the sandbox's home and "@HOME_URL@" for the same
// percent-encoded.
inline std::string storeData(const Sandbox& sb, const std::string& name) {
  std::string text = testData("stores/" + name);
  for (const auto& [key, value] :
       {std::pair<std::string, std::string>{"@HOME_URL@", percentEncodePath(sb.home())},
        {"@HOME@", sb.home()}}) {
    for (size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += value.size()) {
      text.replace(at, key.size(), value);
    }
  }
  return text;
}

// The property list tests/data/stores/<name> (see storeData), its strings
// "@bookmark <path>" turned into the bookmark data of <path> and "@data
// <text>" into data holding <text>.
inline PlistValue storePlist(const Sandbox& sb, const std::string& name) {
  std::optional<PlistValue> list = readPlist(storeData(sb, name));
  EXPECT_TRUE(list) << name;
  std::function<void(PlistValue&)> fill = [&fill](PlistValue& value) {
    if (PlistValue::Array* array = value.asArray()) {
      for (PlistValue& item : *array) fill(item);
    } else if (PlistValue::Dictionary* dictionary = value.asDictionary()) {
      for (auto& entry : dictionary->entries) fill(entry.second);
    } else if (const std::string* text = value.asString(); text && text->starts_with("@")) {
      const std::string bytes =
          text->starts_with("@bookmark ") ? bookmarkDataForPath(text->substr(10)) : text->substr(6);
      value = PlistValue(PlistValue::Data(bytes.begin(), bytes.end()));
    }
  };
  if (list) fill(*list);
  return list.value_or(PlistValue());
}

// Makes the database at `path` from the scripts `names` of tests/data/stores.
inline void makeStore(const Sandbox& sb, const std::string& path,
                      std::initializer_list<std::string> names) {
  Db db(path);
  for (const std::string& name : names) db.exec(storeData(sb, name));
}

// ---- Records ----------------------------------------------------------------

inline int64_t unixSeconds(Timestamp t) {
  return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// The titles of the children of a group or category.
template <typename Parent>
std::vector<std::string> titlesOf(const std::shared_ptr<Parent>& parent) {
  std::vector<std::string> titles;
  for (const FilePtr& child : parent->childrens) titles.push_back(child->title);
  return titles;
}

inline FilePtr groupTitled(const CategoryPtr& category, const std::string& title) {
  for (const FilePtr& group : category->childrens) {
    if (group->title == title) return group;
  }
  ADD_FAILURE() << "no group " << title << " in " << category->title;
  return nullptr;
}

// The text attachment of a record, or "<none>".
inline std::string attachmentText(const FilePtr& file) {
  if (const auto* text = std::any_cast<std::string>(&file->attachInformation)) return *text;
  return "<none>";
}

// ---- Stores with content ---------------------------------------------------
// Each builder writes one store set into the sandbox; the tests of the scan
// and of the clean read the same data.

// Safari: four visits of three history items (one without title, one of
// them at time 0), two downloads, the last session, local storage and the
// cookie file. Returns the History.db path.
inline std::string makeSafariStores(const Sandbox& sb) {
  const std::string history = sb.path("~/Library/Safari/History.db");
  makeStore(sb, history, {"safari_history.sql"});
  EXPECT_TRUE(writePlistFile(sb.path("~/Library/Safari/Downloads.plist"),
                             storePlist(sb, "safari_downloads.plist"), PlistFormat::Binary));
  sb.layout({"~/Library/Safari/LastSession.plist:40", "~/Cookies/Cookies.binarycookies:10",
             "~/Library/Safari/LocalStorage/https_b.example_0.localstorage:30",
             "~/Library/Safari/LocalStorage/https_a.example_0.localstorage:20"});
  return history;
}

// Chrome, profile `profile`: visits, downloads (one whose file is there),
// a keyword search, a cookie kept only in the write-ahead log of a store
// named "Cookies", a login in "Login Data", form values (one holding a quote
// and a comma, one whose texts collide with it once joined by ","), local
// storage. Returns the profile folder.
inline std::string makeChromeStores(const Sandbox& sb, const std::string& profile = "Default") {
  const std::string storage = "~/Library/Application Support/Google/Chrome/" + profile;
  const std::string folder = sb.path(storage);
  sb.file("~/Downloads/report.pdf", 5);
  makeStore(sb, folder + "/History", {"chrome_history.sql"});
  makeStore(sb, folder + "/Login Data", {"chrome_logins.sql"});
  makeStore(sb, folder + "/Web Data", {"chrome_web_data.sql"});
  // The browser left its cookies in the write-ahead log: a copy of the
  // database and its log taken while the writer still has them open.
  const std::string staging = sb.path("/staging/cookies.db");
  Db writer(staging);
  writer.exec(storeData(sb, "chrome_cookies.sql"));
  std::filesystem::copy_file(staging, folder + "/Cookies");
  std::filesystem::copy_file(staging + "-wal", folder + "/Cookies-wal");
  EXPECT_GT(std::filesystem::file_size(folder + "/Cookies-wal"), 0u);
  sb.file(storage + "/Local Storage/https_x_0.localstorage", 12);
  sb.file(storage + "/Local Storage/https_x_0.localstorage-journal", 3);
  sb.file(storage + "/Local Storage/leveldb/000003.log", 7);
  return folder;
}

// Firefox: profiles "a.default" (not read) and "b.default-release" in a
// folder named "Profiles". Returns the chosen profile folder.
inline std::string makeFirefoxStores(const Sandbox& sb) {
  const std::string base = sb.path("~/Library/Application Support/Firefox/Profiles");
  makeStore(sb, base + "/a.default/places.sqlite",
            {"firefox_places.sql", "firefox_wrong_profile.sql"});
  const std::string profile = base + "/b.default-release";
  sb.file("~/Downloads/My File.txt", 4);
  makeStore(sb, profile + "/places.sqlite", {"firefox_places.sql", "firefox_places_rows.sql"});
  makeStore(sb, profile + "/cookies.sqlite", {"firefox_cookies.sql"});
  makeStore(sb, profile + "/formhistory.sqlite", {"firefox_form_history.sql"});
  // Its logins are cut out of this file byte by byte: the bytes are the point.
  writeFileAt(profile + "/logins.json", storeData(sb, "firefox_logins.json"));
  return profile;
}

// The Finder's preferences with its recent folders: two named folders, an
// entry that is not a dictionary and one without a name (positions 0, 1, 2,
// 3).
inline std::string makeFinderRecents(const Sandbox& sb) {
  const std::string path = sb.dir("~/Library/Preferences") + "/com.apple.finder.plist";
  EXPECT_TRUE(
      writePlistFile(path, storePlist(sb, "finder_preferences.plist"), PlistFormat::Binary));
  return path;
}

// A shared file list of three entries: one with a name, one known only by
// its bookmark, one with an unreadable bookmark.
inline PlistValue sharedList(const Sandbox& sb) { return storePlist(sb, "shared_list.plist"); }

inline std::string writeSharedList(const Sandbox& sb, const std::string& name,
                                   const PlistValue& list) {
  std::optional<std::string> bytes = archivedDataWithRootObject(list);
  EXPECT_TRUE(bytes);
  return sb.file("~/Library/Application Support/com.apple.sharedfilelist/" + name,
                 bytes ? *bytes : std::string());
}

// The two permission databases: the user's and the system's, with
// duplicates across them, a service that is not listed (location), a
// service no case names, and clients without an application.
inline void makePermissionDatabases(const Sandbox& sb) {
  makeStore(sb, sb.path("~/Library/Application Support/com.apple.TCC/TCC.db"),
            {"tcc.sql", "tcc_user.sql"});
  makeStore(sb, sb.path("/Library/Application Support/com.apple.TCC/TCC.db"),
            {"tcc.sql", "tcc_system.sql"});
  installApplication(sb, "Cam", "com.example.cam");
  installApplication(sb, "Recorder", "com.example.rec");
  installApplication(sb, "Locator", "com.example.loc");
}

// Ticks the items at `positions` of `group` (and marks the group ticked or
// mixed), as the host does before a clean.
inline void tick(const FilePtr& group, const std::vector<size_t>& positions) {
  for (size_t p : positions) group->childrens.at(p)->state = 1;
  group->state = positions.size() == group->childrens.size() ? 1 : -1;
}

// ---- Running one category scan ------------------------------------------------

inline CategoryPtr privacyCategory(const std::string& title) {
  auto category = std::make_shared<CategoryInformation>();
  category->title = title;
  category->kind = raw(CategoryInfomationKind::Privacy);
  return category;
}

// Scans the category titled `title` ("Safari", "Chrome" with the chosen
// profile, "Firefox", "Recent Item", "Application Permissions") and waits
// for its one completion.
inline CategoryPtr scanned(const std::string& title) {
  CategoryPtr category = privacyCategory(title);
  Signal finished;
  auto finish = [&finished] { finished.notify(); };
  if (title == "Safari") {
    PrivacyScanService::scanSafari(category, finish);
  } else if (title == "Chrome") {
    PrivacyScanService::scanChrome(category, PrivacyScanService::getChromeProfile(), finish);
  } else if (title == "Firefox") {
    PrivacyScanService::scanFirefox(category, finish);
  } else if (title == "Recent Item") {
    PrivacyScanService::scanRecentItem(category, finish);
  } else {
    PrivacyScanService::scanApplicationPermission(category, finish);
  }
  EXPECT_TRUE(finished.wait());
  EXPECT_EQ(finished.count(), 1);
  return category;
}

}  // namespace orvexa::testing
