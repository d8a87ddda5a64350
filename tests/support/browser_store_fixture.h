// Stores of the browsers and the system as their owners write them, for the
// privacy scan and clean tests: the table definitions are those of the
// programs (the columns the scan and clean use, with their real names and
// types), and the helpers put rows in them.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
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

namespace orvexa::testing {

// ---- Table definitions -----------------------------------------------------
// The columns the scan and clean read, those a join shares by name, and the
// keys and references the owners declare, with their real names and types.

inline const char* const kSafariHistorySchema =
    "CREATE TABLE history_items (id INTEGER PRIMARY KEY AUTOINCREMENT,url TEXT NOT NULL "
    "UNIQUE,visit_count INTEGER NOT NULL);"
    "CREATE TABLE history_visits (id INTEGER PRIMARY KEY AUTOINCREMENT,history_item INTEGER NOT "
    "NULL REFERENCES history_items(id) ON DELETE CASCADE,visit_time REAL NOT NULL,title TEXT "
    "NULL,redirect_source INTEGER NULL UNIQUE REFERENCES history_visits(id) ON DELETE "
    "CASCADE,redirect_destination INTEGER NULL UNIQUE REFERENCES history_visits(id) ON DELETE "
    "CASCADE);";

inline const char* const kChromeHistorySchema =
    "CREATE TABLE urls(id INTEGER PRIMARY KEY AUTOINCREMENT,url LONGVARCHAR,title "
    "LONGVARCHAR,visit_count INTEGER DEFAULT 0 NOT NULL,last_visit_time INTEGER NOT NULL);"
    "CREATE TABLE visits(id INTEGER PRIMARY KEY AUTOINCREMENT,url INTEGER NOT NULL,visit_time "
    "INTEGER NOT NULL,from_visit INTEGER,transition INTEGER DEFAULT 0 NOT NULL);"
    "CREATE TABLE keyword_search_terms (keyword_id INTEGER NOT NULL,url_id INTEGER NOT "
    "NULL,term LONGVARCHAR NOT NULL,normalized_term LONGVARCHAR NOT NULL);"
    "CREATE TABLE downloads (id INTEGER PRIMARY KEY,guid VARCHAR NOT NULL,current_path "
    "LONGVARCHAR NOT NULL,target_path LONGVARCHAR NOT NULL,start_time INTEGER NOT NULL,state "
    "INTEGER NOT NULL,mime_type VARCHAR(255) NOT NULL);";

inline const char* const kChromeCookiesSchema =
    "CREATE TABLE cookies(creation_utc INTEGER NOT NULL,host_key TEXT NOT "
    "NULL,top_frame_site_key TEXT NOT NULL,name TEXT NOT NULL,value TEXT NOT NULL,path TEXT NOT "
    "NULL,UNIQUE (host_key, top_frame_site_key, name, path));";

inline const char* const kChromeLoginSchema =
    "CREATE TABLE logins (origin_url VARCHAR NOT NULL,username_element VARCHAR,username_value "
    "VARCHAR,password_element VARCHAR,signon_realm VARCHAR NOT NULL,date_created INTEGER NOT "
    "NULL,id INTEGER PRIMARY KEY AUTOINCREMENT,UNIQUE (origin_url, username_element, "
    "username_value, password_element, signon_realm));";

inline const char* const kChromeWebDataSchema =
    "CREATE TABLE autofill (name VARCHAR, value VARCHAR, value_lower VARCHAR, date_created "
    "INTEGER DEFAULT 0, date_last_used INTEGER DEFAULT 0, count INTEGER DEFAULT 1, PRIMARY KEY "
    "(name, value));";

inline const char* const kFirefoxPlacesSchema =
    "CREATE TABLE moz_places (id INTEGER PRIMARY KEY, url LONGVARCHAR, title LONGVARCHAR, "
    "visit_count INTEGER DEFAULT 0, last_visit_date INTEGER , guid TEXT);"
    "CREATE TABLE moz_historyvisits (id INTEGER PRIMARY KEY, from_visit INTEGER, place_id "
    "INTEGER, visit_date INTEGER, visit_type INTEGER);"
    "CREATE TABLE moz_keywords (id INTEGER PRIMARY KEY AUTOINCREMENT, keyword TEXT UNIQUE, "
    "place_id INTEGER, post_data TEXT);"
    "CREATE TABLE moz_annos (id INTEGER PRIMARY KEY,place_id INTEGER NOT NULL,anno_attribute_id "
    "INTEGER,content LONGVARCHAR,dateAdded INTEGER DEFAULT 0);";

inline const char* const kFirefoxCookiesSchema =
    "CREATE TABLE moz_cookies (id INTEGER PRIMARY KEY, baseDomain TEXT, originAttributes TEXT "
    "NOT NULL DEFAULT '', name TEXT, value TEXT, host TEXT, path TEXT, creationTime INTEGER, "
    "CONSTRAINT moz_uniqueid UNIQUE (name, host, path, originAttributes));";

inline const char* const kFirefoxFormHistorySchema =
    "CREATE TABLE moz_formhistory (id INTEGER PRIMARY KEY, fieldname TEXT NOT NULL, value TEXT "
    "NOT NULL, timesUsed INTEGER, firstUsed INTEGER, lastUsed INTEGER, guid TEXT);";

inline const char* const kTccSchema =
    "CREATE TABLE access (service TEXT NOT NULL, client TEXT NOT NULL, client_type INTEGER NOT "
    "NULL, auth_value INTEGER NOT NULL, auth_reason INTEGER NOT NULL, auth_version INTEGER NOT "
    "NULL, csreq BLOB, policy_id INTEGER, indirect_object_identifier_type INTEGER, "
    "indirect_object_identifier TEXT NOT NULL DEFAULT 'UNUSED', indirect_object_code_identity "
    "BLOB, flags INTEGER, last_modified INTEGER NOT NULL DEFAULT (CAST(strftime('%s','now') AS "
    "INTEGER)), PRIMARY KEY (service, client, client_type, indirect_object_identifier));";

// Chrome counts microseconds since 1601-01-01.
constexpr int64_t kChromeEpochOffset = 11644473600;
inline int64_t chromeTime(int64_t unixSeconds) {
  return (unixSeconds + kChromeEpochOffset) * 1000000;
}

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
  void run(const std::string& sql, const std::vector<std::string>& params) {
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
    for (size_t i = 0; i < params.size(); ++i) {
      sqlite3_bind_text(stmt, static_cast<int>(i + 1), params[i].c_str(), -1, SQLITE_TRANSIENT);
    }
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE) << sql;
    sqlite3_finalize(stmt);
  }
  // The first column of every row, as text ("NULL" for NULL).
  std::vector<std::string> column(const std::string& sql) {
    std::vector<std::string> out;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
      return out;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      out.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    sqlite3_finalize(stmt);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

// The first column of `sql` on the database at `path`.
inline std::vector<std::string> rows(const std::string& path, const std::string& sql) {
  Db db(path);
  return db.column(sql);
}

// "ok" when the database at `path` is sound.
inline std::string integrityOf(const std::string& path) {
  Db db(path);
  std::vector<std::string> result = db.column("PRAGMA integrity_check");
  return result.size() == 1 ? result[0] : "several problems";
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
  {
    Db db(history);
    db.exec(kSafariHistorySchema);
    db.exec(
        "INSERT INTO history_items (id, url, visit_count) VALUES (1, 'https://example.com/', 2),"
        "(2, 'file:///Users/tester/notes.html', 1), (3, 'https://untitled.example/', 1);"
        "INSERT INTO history_visits (id, history_item, visit_time, title) VALUES "
        "(10, 1, 0.0, 'Example'), (11, 1, 700000000.5, 'Example again'),"
        "(12, 2, 100, 'Notes'), (13, 3, 50, NULL);");
  }
  PlistValue::Dictionary first{
      {{"DownloadEntryPath", sb.path("~/Downloads/a.zip")},
       {"DownloadEntryDateFinishedKey", PlistValue(PlistValue::DateValue{1700000000})},
       {"DownloadEntryIdentifier", "ID-1"}}};
  PlistValue::Dictionary second{{{"DownloadEntryIdentifier", "ID-2"}}};
  PlistValue downloads(
      PlistValue::Dictionary{{{"DownloadHistory", PlistValue(PlistValue::Array{first, second})}}});
  std::filesystem::create_directories(sb.path("~/Library/Safari"));
  EXPECT_TRUE(
      writePlistFile(sb.path("~/Library/Safari/Downloads.plist"), downloads, PlistFormat::Binary));
  sb.file("~/Library/Safari/LastSession.plist", 40);
  sb.file("~/Library/Safari/LocalStorage/https_b.example_0.localstorage", 30);
  sb.file("~/Library/Safari/LocalStorage/https_a.example_0.localstorage", 20);
  sb.file("~/Cookies/Cookies.binarycookies", 10);
  return history;
}

// Chrome, profile `profile`: visits, downloads (one whose file is there),
// a keyword search, a cookie kept only in the write-ahead log of a store
// named "Cookies", a login in "Login Data", form values (one holding a quote
// and a comma, one whose texts collide with it once joined by ","), local
// storage. Returns the profile folder.
inline std::string makeChromeStores(const Sandbox& sb, const std::string& profile = "Default") {
  const std::string folder = sb.path("~/Library/Application Support/Google/Chrome/" + profile);
  {
    Db db(folder + "/History");
    db.exec(kChromeHistorySchema);
    db.exec(
        "INSERT INTO urls (id, url, title, last_visit_time) VALUES "
        "(1, 'https://news.example/a', 'News', 0),"
        "(2, 'https://search.example/?q=x', 'Results/x', 0),"
        "(3, 'file:///Users/tester/page.html', '', 0);");
    db.exec("INSERT INTO visits (id, url, visit_time) VALUES (100, 1, " +
            std::to_string(chromeTime(1600000000)) + "), (101, 3, " +
            std::to_string(kChromeEpochOffset * 1000000) + "), (102, 1, " +
            std::to_string(chromeTime(1600000500)) + ");");
    db.exec(
        "INSERT INTO keyword_search_terms (keyword_id, url_id, term, normalized_term) VALUES "
        "(1, 2, 'x', 'x');");
    const std::string kept = sb.file("~/Downloads/report.pdf", 5);
    const std::string row = "INSERT INTO downloads VALUES (?, 'g', ?, ?, ?, 1, 'application/pdf')";
    db.run(row, {"1", kept, kept, std::to_string(chromeTime(1700000000))});
    db.run(row, {"2", "/nowhere/gone.zip", "/nowhere/gone.zip",
                 std::to_string(kChromeEpochOffset * 1000000)});
  }
  {
    // The browser left its cookies in the write-ahead log: a copy of the
    // database and its log taken while the writer still had them open.
    const std::string staging = sb.path("/staging/cookies.db");
    Db writer(staging);
    writer.exec("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
    writer.exec(kChromeCookiesSchema);
    writer.exec("INSERT INTO cookies VALUES (" + std::to_string(chromeTime(1650000000)) +
                ", '.example.com', '', 'sid', 'v', '/'), (" +
                std::to_string(chromeTime(1650000100)) +
                ", 'cdn.example.net', '', 'k', 'v', '/');");
    std::filesystem::copy_file(staging, folder + "/Cookies");
    std::filesystem::copy_file(staging + "-wal", folder + "/Cookies-wal");
    EXPECT_GT(std::filesystem::file_size(folder + "/Cookies-wal"), 0u);
  }
  {
    Db db(folder + "/Login Data");
    db.exec(kChromeLoginSchema);
    const std::string row =
        "INSERT INTO logins (origin_url, username_value, signon_realm, date_created) VALUES (?, ?, "
        "?, ?)";
    db.run(row, {"https://accounts.example/login", "me@example", "https://accounts.example/",
                 std::to_string(chromeTime(1500000000))});
    db.run(row, {"https://accounts.example/login", "", "https://accounts.example/",
                 std::to_string(chromeTime(1500000001))});
  }
  {
    Db db(folder + "/Web Data");
    db.exec(kChromeWebDataSchema);
    const std::string row = "INSERT INTO autofill (name, value, date_created) VALUES (?, ?, ?)";
    db.run(row, {"email", "me@example", std::to_string(chromeTime(1400000000))});
    db.run(row, {"street", "O'Brien Road, 5", std::to_string(chromeTime(1400000001))});
    db.run(row, {"street", "O'Brien Road", std::to_string(chromeTime(1400000002))});
    db.run(row, {"street,O'Brien Road", " 5", std::to_string(chromeTime(1400000003))});
  }
  const std::string storage = "~/Library/Application Support/Google/Chrome/" + profile;
  sb.file(storage + "/Local Storage/https_x_0.localstorage", 12);
  sb.file(storage + "/Local Storage/https_x_0.localstorage-journal", 3);
  sb.file(storage + "/Local Storage/leveldb/000003.log", 7);
  return folder;
}

// Firefox: profiles "a.default" (not read) and "b.default-release" in a
// folder named "Profiles". Returns the chosen profile folder.
inline std::string makeFirefoxStores(const Sandbox& sb) {
  const std::string base = sb.path("~/Library/Application Support/Firefox/Profiles");
  {
    Db other(base + "/a.default/places.sqlite");
    other.exec(kFirefoxPlacesSchema);
    other.exec("INSERT INTO moz_places (id, url) VALUES (1, 'https://wrong-profile.example/');");
  }
  const std::string profile = base + "/b.default-release";
  {
    Db db(profile + "/places.sqlite");
    db.exec(kFirefoxPlacesSchema);
    db.exec(
        "INSERT INTO moz_places (id, url, last_visit_date) VALUES "
        "(1, 'https://mozilla.example/', 1600000000000000),"
        "(2, 'https://kw.example/search', 1610000000000000);"
        "INSERT INTO moz_historyvisits (id, place_id, visit_date) VALUES "
        "(10, 1, 1600000000123456), (11, 1, 1500000000000000);"
        "INSERT INTO moz_keywords (id, keyword, place_id) VALUES (5, 'kw', 2);");
    const std::string kept = sb.file("~/Downloads/My File.txt", 4);
    const std::string row =
        "INSERT INTO moz_annos (id, place_id, anno_attribute_id, content, dateAdded) VALUES "
        "(?, 1, 1, ?, 1700000000000000)";
    db.run(row, {"20", "file://" + percentEncodePath(kept)});
    db.run(row, {"21", "{\"state\":1,\"endTime\":1700000000000}"});
    db.run(row, {"22", "file:///nowhere/x.zip"});
  }
  {
    Db db(profile + "/cookies.sqlite");
    db.exec(kFirefoxCookiesSchema);
    db.exec(
        "INSERT INTO moz_cookies (id, baseDomain, name, host, path, creationTime) VALUES "
        "(7, 'example.org', 'a', '.example.org', '/', 1650000000000000),"
        "(8, 'other.org', 'b', 'other.org', '/', 1650000001000000);");
  }
  {
    Db db(profile + "/formhistory.sqlite");
    db.exec(kFirefoxFormHistorySchema);
    db.exec(
        "INSERT INTO moz_formhistory (id, fieldname, value, firstUsed) VALUES "
        "(3, 'searchbar-history', 'cats', 1600000000000000), (4, 'email', 'x', 1);");
  }
  sb.file(
      "~/Library/Application Support/Firefox/Profiles/b.default-release/logins.json",
      R"({"nextId":3,"logins":[)"
      R"({"id":1,"hostname":"https://login.example","httpRealm":null,)"
      R"("formSubmitURL":"https://login.example","usernameField":"u","passwordField":"p",)"
      R"("encryptedUsername":"AAA=","encryptedPassword":"BBB=","guid":"{1}","encType":1,)"
      R"("timeCreated":1600000000123,"timeLastUsed":1600000000123,"timesUsed":1},)"
      R"({"id":2,"hostname":"https://other.example","formSubmitURL":null,)"
      R"("timeCreated":1600000001000,"guid":"{2}"}],)"
      R"("potentiallyVulnerablePasswords":[],"dismissedBreachAlertsByLoginGUID":{},"version":3})");
  return profile;
}

// The Finder's recent folders: two named folders, an entry that is not a
// dictionary and one without a name (positions 0, 1, 2, 3).
inline std::string makeFinderRecents(const Sandbox& sb) {
  std::string bookmark = bookmarkDataForPath(sb.path("~/Documents"));
  PlistValue::Data data(bookmark.begin(), bookmark.end());
  PlistValue::Array folders{
      PlistValue(PlistValue::Dictionary{{{"name", "Documents"}, {"file-bookmark", data}}}),
      PlistValue(PlistValue::Dictionary{{{"name", "Projects"}}}), PlistValue("not a folder"),
      PlistValue::dictionary()};
  PlistValue preferences(PlistValue::Dictionary{
      {{"FXRecentFolders", PlistValue(folders)}, {"ShowStatusBar", PlistValue(true)}}});
  const std::string path = sb.path("~/Library/Preferences/com.apple.finder.plist");
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  EXPECT_TRUE(writePlistFile(path, preferences, PlistFormat::Binary));
  return path;
}

// A shared file list of three entries: one with a name, one known only by
// its bookmark, one with an unreadable bookmark.
inline PlistValue sharedList(const Sandbox& sb) {
  auto data = [](const std::string& bytes) {
    return PlistValue(PlistValue::Data(bytes.begin(), bytes.end()));
  };
  PlistValue::Array items{
      PlistValue(PlistValue::Dictionary{
          {{"Name", "Report.pdf"},
           {"uuid", "U-1"},
           {"Bookmark", data(bookmarkDataForPath(sb.path("~/Documents/Report.pdf")))}}}),
      PlistValue(PlistValue::Dictionary{
          {{"uuid", "U-2"},
           {"visibility", PlistValue(int64_t{0})},
           {"Bookmark", data(bookmarkDataForPath("/Users/tester/Pictures/Holiday.jpg"))}}}),
      PlistValue(PlistValue::Dictionary{{{"uuid", "U-3"}, {"Bookmark", data("garbage")}}}),
  };
  return PlistValue(PlistValue::Dictionary{
      {{"items", PlistValue(items)},
       {"properties", PlistValue(PlistValue::Dictionary{
                          {{"com.apple.LSSharedFileList.MaxAmount", PlistValue(int64_t{10})}}})}}});
}

inline std::string writeSharedList(const Sandbox& sb, const std::string& name,
                                   const PlistValue& list) {
  std::optional<std::string> bytes = archivedDataWithRootObject(list);
  EXPECT_TRUE(bytes);
  return sb.file("~/Library/Application Support/com.apple.sharedfilelist/" + name,
                 bytes ? *bytes : std::string());
}

// An application bundle in the applications folder.
inline std::string makeApplication(const Sandbox& sb, const std::string& name,
                                   const std::string& identifier) {
  return installApplication(sb, name, identifier);
}

// The two permission databases: the user's and the system's, with
// duplicates across them, a service that is not listed (location), a
// service no case names, and clients without an application.
inline void makePermissionDatabases(const Sandbox& sb) {
  const std::string row =
      "INSERT INTO access (service, client, client_type, auth_value, auth_reason, auth_version) "
      "VALUES (?, ?, 0, 2, 2, 1)";
  {
    Db user(sb.path("~/Library/Application Support/com.apple.TCC/TCC.db"));
    user.exec(kTccSchema);
    user.run(row, {"kTCCServiceCamera", "com.example.cam"});
    user.run(row, {"kTCCServiceMicrophone", "com.example.cam"});
    user.run(row, {"kTCCServiceLocation", "com.example.cam"});
    user.run(row, {"kTCCServiceBogus", "com.example.cam"});
    user.run(row, {"kTCCServiceCamera", "com.example.missing"});
  }
  {
    Db system(sb.path("/Library/Application Support/com.apple.TCC/TCC.db"));
    system.exec(kTccSchema);
    system.run(row, {"kTCCServiceCamera", "com.example.cam"});
    system.run(row, {"kTCCServiceScreenCapture", "com.example.rec"});
    system.run(row, {"kTCCServiceLocation", "com.example.loc"});
  }
  makeApplication(sb, "Cam", "com.example.cam");
  makeApplication(sb, "Recorder", "com.example.rec");
  makeApplication(sb, "Locator", "com.example.loc");
}

// Ticks the items at `positions` of `group` (and marks the group ticked or
// mixed), as the host does before a clean.
inline void tick(const FilePtr& group, const std::vector<size_t>& positions) {
  for (size_t p : positions) group->childrens.at(p)->state = 1;
  group->state = positions.size() == group->childrens.size() ? 1 : -1;
}

// A stand-in for a system tool: a shell script that appends its arguments,
// one line per run, to `log` and prints `output`.
inline std::string fakeTool(const Sandbox& sb, const std::string& name, const std::string& log,
                            const std::string& output) {
  const std::string path = sb.file("/fake-tools/" + name, "#!/bin/sh\necho \"$@\" >> '" + log +
                                                              "'\nprintf '%s' '" + output + "'\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
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
