// What the privacy scan and the privacy clean share: where the stores are,
// how their texts and times are read, how a store is queried, and how group
// and item records are built. Library-internal.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvexa/model/records.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "orvexa/units/serial_queue.h"
#include "orvexa/units/sqlite_tool.h"

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

// The browser profile folders to read under the Linux layout: every profile
// ("Default", "Profile N") of Chrome, Chromium and Brave below the home's
// configuration folder, and every Firefox profile that a profiles.ini names,
// in the home's own, Snap and Flatpak Firefox folders. Existing folders only,
// in a fixed order.
std::vector<std::string> linuxChromeProfiles();
std::vector<std::string> linuxFirefoxProfiles();
// The profile folders a profiles.ini text names ([Profile*] sections; Path
// is relative to `base` unless IsRelative=0, when it is a system path placed
// under the paths table's root), in file order, without repeats.
std::vector<std::string> profilesFromIni(std::string_view ini, const std::string& base);
// How a profile folder is named in group titles: its path below the home,
// without a leading "." folder ("config/chromium/Default").
std::string profileLabel(const std::string& folder);
// The freedesktop.org recent-files list: home/.local/share/recently-used.xbel.
std::string recentlyUsedStore();

// ---- Texts and times of the stores ----------------------------------------

// The column's text, "" when the column is absent (NULL).
std::string text(const SqlRow& row, const std::string& column);
// The column read as a number the way the platform reads texts: leading
// blanks skipped, the longest decimal prefix, 0 when there is none. An
// absent column reads as "1".
double number(const SqlRow& row, const std::string& column);
double numberFromText(std::string_view text);
// A whole decimal integer (an optional sign, digits, nothing else).
std::optional<int64_t> integerFromText(std::string_view text);

// `seconds` since 1970 as a record date; with `truncate`, cut to whole
// seconds, else to whole microseconds. Values that are not finite or
// outside what a date can hold
// (about +-292 years around 1970) give the current date.
Timestamp dateFromSeconds(double seconds, bool truncate);
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
// Replaces the file's content as one step: the bytes go to a temporary file
// in the same folder, which is then renamed over `path` (keeping its
// permissions), so an interruption leaves the old or the new file, never a
// part. False when anything failed; `path` is then unchanged.
bool writeFileAtomically(const std::string& path, std::string_view bytes);

// Hands `work` to `queue` with `run`; when the queue reports an error other
// than `cancelled` the hand-over is repeated (a few times, then the work runs
// on the calling thread rather than being lost).
void handOver(const std::shared_ptr<SerialGCDService>& queue, std::function<void()> work);

// Runs `work` on the global pool (default lane), or here when the pool
// cannot take it, so that work that must finish never gets lost.
void runOnPool(std::function<void()> work);

// ---- Records --------------------------------------------------------------

// A group entry of `status`, numbered `finderID`, read from `store`.
FilePtr makeGroup(const CategoryPtr& category, int finderID, Status status, const Url& store,
                  const std::string& iconName);
// A group entry that is not a browser group (no attachment).
FilePtr makeGroup(const CategoryPtr& category, int finderID, std::string title, const Url& store,
                  const std::string& iconName);
// An item below `group`, numbered `finderID`.
FilePtr makeItem(const FilePtr& group, const CategoryPtr& category, int finderID, std::string title,
                 Timestamp date, Url url, std::any attachment, int levelInt);
// Attaches `items` to `group`, numbering them 0, 1, 2, ... in order.
void attach(const FilePtr& group, std::vector<FilePtr> items);

// Gives the item of one row of a store: `position` is the number of items
// made before it.
using RowItemMaker = std::function<FilePtr(const SqlRow& row, const FilePtr& group, int position)>;
// A group of `status` read from the database `store`: one item per row of
// `query`; empty when the store is missing or of another schema. The
// store's note becomes the group's scanErrorDesc.
FilePtr databaseGroup(const CategoryPtr& category, int finderID, Status status, Store& store,
                      const std::string& query, const std::string& iconName,
                      const RowItemMaker& makeItem);

// One download as a browser's store tells of it.
struct DownloadRow {
  std::string title;
  Timestamp date{};
  Url url;  // the downloaded file's; may be a web address or empty
  std::string id;
};
// Reads one row of the downloads query; nullopt for a row that is no download.
using DownloadReader = std::function<std::optional<DownloadRow>(const SqlRow& row)>;
// A browser's two download groups, read from the database `store`: every
// download, and once more those whose file is still on the disk. Numbered
// `finderID` and `finderID + 1`.
std::pair<FilePtr, FilePtr> downloadGroups(const CategoryPtr& category, int finderID, Store& store,
                                           const std::string& query, const DownloadReader& read);

}  // namespace orvexa::privacy
