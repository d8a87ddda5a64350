// Where other programs' privacy stores are and how they are read: the
// browsers' folders, the columns and time rules of their databases, and a
// database read even while its program holds it locked. Shared by the
// privacy scan, the privacy clean and the toolkits.
//
// Thread-safety: the functions keep no state; a Store is used by one thread
// at a time. Errors: returned as empty results and notes in words, never
// thrown.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvexa/platform/url.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "orvexa/units/sqlite_tool.h"
#include "orvexa/units/text_numbers.h"

namespace orvexa::privacy {

using Status = PrivacyScanService::BrowserOperationStatus;

// ---- Where the stores are --------------------------------------------------

// `relative` below `base`, component by component: a component that exists
// as written is taken as written; otherwise the first entry of its folder
// whose name equals it without regard to ASCII case; otherwise it is kept as
// written (the result then names nothing).
std::string findPath(const std::string& base, std::string_view relative);

std::string safariFolder();           // <home>/Library/Safari
std::string chromeFolder();           // <home>/Library/Application Support/Google/Chrome
std::string firefoxProfilesFolder();  // <home>/Library/Application Support/Firefox/profiles
// The Chrome store `name` of `profile`.
std::string chromeStore(const std::string& profile, std::string_view name);
// The freedesktop.org recent-files list: home/.local/share/recently-used.xbel.
std::string recentlyUsedStore();

// ---- Texts and times of the stores ----------------------------------------

// The column's text, "" when the column is absent (NULL).
std::string text(const SqlRow& row, const std::string& column);
// The column read as a number the way the platform reads texts: leading
// blanks skipped, the longest decimal prefix, 0 when there is none. An
// absent column reads as "1".
double number(const SqlRow& row, const std::string& column);

// The time rules of the stores.
inline double safariSeconds(double t) { return t + 978307200.0; }
inline double chromeSeconds(double t) { return t / 1000000.0 - 11644473600.0; }
inline double firefoxSeconds(double t) { return t / 1000000.0; }

// The last path component of a text, as the platform's string operation
// gives it: trailing "/" ignored, "/" for "/", "" for "".
std::string lastPathComponent(std::string_view text);
// The URL a stored address text stands for: a file address gives its file
// URL, an address of another scheme (the web pages of the histories) is
// kept as written; a text that is no address gives the placeholder URL.
Url urlFromText(const std::string& text);
// The file URL of a stored path; the placeholder when the path is not
// absolute (the stores hold absolute paths; a relative one would otherwise
// name a file below whatever folder this process runs in).
Url fileUrlOfPath(const std::string& path);
// The URL of a stored download location: a web address as written, else the
// file URL of the text after the engine's path-text conversion
// (handleStringTo: "file://" and percent escapes removed).
Url downloadUrl(const std::string& text);
// The local file a record's URL names: its path for a file URL, "" for the
// placeholder and for addresses of other schemes.
std::string localPath(const Url& url);

// ---- Stores ---------------------------------------------------------------

// One database of another program, read by the scans: opened on the first
// query, kept open for the next ones, closed on destruction. Each query is
// probed before its rows are read. When the program holds the database
// locked past the busy timeout (a running browser does), the database is
// read instead from a private copy (the file with its "-wal" and "-journal",
// copied into a fresh folder of the engine's support folder; opening the copy
// rolls a hot journal back and replays only committed WAL frames, so it
// shows the last committed state), and note() says so. The copy is deleted
// on destruction. Not thread-safe; one scan uses it on one queue.
class Store {
 public:
  // `program` names the owner in the note ("Chrome").
  Store(std::string path, std::string program);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& path() const { return path_; }
  // Closes the database and deletes the copy now (the destructor does it
  // too); a scan calls it before it reports that it is finished, after which
  // the host may end the process. The store reads nothing more.
  void release();
  // The rows of `query`; nothing when the file is not there (it is never
  // created), is not a regular file, cannot be opened or copied, or the
  // probe fails. But for a missing file, note() then says why ("not read:
  // ..."), and the reason goes to the log.
  std::optional<std::vector<SqlRow>> rows(const std::string& query);
  // As rows, handing each row to `row` as it is read; false where rows
  // gives nothing.
  bool forEachRow(const std::string& query, const std::function<void(const SqlRow&)>& row);
  // "" or why the rows came from a copy, or from nowhere when the copy
  // failed ("Chrome is running: ...").
  const std::string& note() const { return note_; }

 private:
  bool openCopy();
  // Logs why the store was not read and keeps it as the note; false.
  bool notRead(std::string why);

  std::string path_;
  std::string program_;
  std::string note_;
  std::string copyFolder_;  // "" until a copy was made
  SqliteTool db_;
  bool opened_ = false;
};

// The rows of `query` on the database at `path`, read as a Store reads them;
// `error` (when given) receives the store's note.
std::optional<std::vector<SqlRow>> readStore(const std::string& path, const std::string& query,
                                             std::string* error = nullptr);

// The whole content of a store file other than a database (property lists,
// JSON), read as every file is (readRegularFile). Nothing when it cannot be
// read; but for a missing file, `error` (when given) then says why in words,
// and the reason goes to the log.
std::optional<std::string> readStoreFile(const std::string& path, std::string* error = nullptr);

}  // namespace orvexa::privacy
