#include "scan/privacy/privacy_support.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <thread>

#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/image.h"
#include "orvexa/platform/paths.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/log_service.h"
#include "platform/unique_fd.h"

namespace orvexa::privacy {
namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool entryExists(const std::string& path) {
  return attributesOfItem(path).has_value();  // a link counts, wherever it points
}

}  // namespace

std::string findPath(const std::string& base, std::string_view relative) {
  std::string path = base;
  size_t at = 0;
  while (at < relative.size()) {
    size_t slash = relative.find('/', at);
    if (slash == std::string_view::npos) slash = relative.size();
    std::string_view name = relative.substr(at, slash - at);
    at = slash + 1;
    if (name.empty()) continue;
    std::string exact = path + "/" + std::string(name);
    if (!entryExists(exact)) {
      for (const std::string& entry : contentsOfDirectory(path)) {
        if (equalsIgnoringCase(entry, name)) {
          exact = path + "/" + entry;
          break;
        }
      }
    }
    path = std::move(exact);
  }
  return path;
}

std::string safariFolder() { return findPath(Paths::shared().userLibrary(), "Safari"); }

std::string chromeFolder() {
  return findPath(Paths::shared().userApplicationSupport(), "Google/Chrome");
}

std::string firefoxProfilesFolder() {
  return findPath(Paths::shared().userApplicationSupport(), "Firefox/profiles");
}

std::string chromeStore(const std::string& profile, std::string_view name) {
  return findPath(chromeFolder(), profile + "/" + std::string(name));
}

std::vector<std::string> linuxChromeProfiles() {
  std::vector<std::string> profiles;
  const std::string config = Paths::shared().userConfigFolder();
  for (const char* browser : {"google-chrome", "chromium", "BraveSoftware/Brave-Browser"}) {
    const std::string folder = config + "/" + browser;
    std::vector<std::string> names = contentsOfDirectory(folder);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (name != "Default" && name.rfind("Profile ", 0) != 0) continue;
      if (isDirectory(folder + "/" + name)) profiles.push_back(folder + "/" + name);
    }
  }
  return profiles;
}

std::vector<std::string> profilesFromIni(std::string_view ini, const std::string& base) {
  struct Entry {
    std::string path;
    bool relative = true;
  };
  std::vector<Entry> entries;
  bool inProfile = false;
  size_t at = 0;
  while (at < ini.size()) {
    size_t end = ini.find('\n', at);
    if (end == std::string_view::npos) end = ini.size();
    std::string_view line = ini.substr(at, end - at);
    at = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.starts_with("[")) {
      inProfile = line.starts_with("[Profile");
      if (inProfile) entries.emplace_back();
      continue;
    }
    if (!inProfile) continue;
    if (line.starts_with("Path=")) entries.back().path = std::string(line.substr(5));
    if (line == "IsRelative=0") entries.back().relative = false;
  }
  std::vector<std::string> profiles;
  for (const Entry& entry : entries) {
    if (entry.path.empty()) continue;
    // A relative path never climbs out of the Firefox folder.
    if (entry.relative && (entry.path.front() == '/' || entry.path.find("..") != std::string::npos))
      continue;
    if (!entry.relative && entry.path.front() != '/') continue;
    std::string path =
        entry.relative ? base + "/" + entry.path : Paths::shared().resolve(entry.path);
    if (std::find(profiles.begin(), profiles.end(), path) == profiles.end())
      profiles.push_back(std::move(path));
  }
  return profiles;
}

std::vector<std::string> linuxFirefoxProfiles() {
  const std::string home = Paths::shared().userHome();
  std::vector<std::string> profiles;
  for (const char* place : {"/.mozilla/firefox", "/snap/firefox/common/.mozilla/firefox",
                            "/.var/app/org.mozilla.firefox/.mozilla/firefox"}) {
    const std::string base = home + place;
    std::optional<std::string> ini = readStoreFile(base + "/profiles.ini");
    if (!ini) continue;
    for (std::string& profile : profilesFromIni(*ini, base)) {
      if (isDirectory(profile)) profiles.push_back(std::move(profile));
    }
  }
  return profiles;
}

std::string profileLabel(const std::string& folder) {
  const std::string home = Paths::shared().userHome() + "/";
  std::string label = folder.rfind(home, 0) == 0 ? folder.substr(home.size()) : folder;
  if (label.starts_with(".")) label.erase(0, 1);
  return label;
}

std::string recentlyUsedStore() { return Paths::shared().userDataFolder() + "/recently-used.xbel"; }

std::string text(const SqlRow& row, const std::string& column) {
  auto it = row.find(column);
  return it == row.end() ? std::string() : it->second;
}

double numberFromText(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])) != 0) ++at;
  if (at < text.size() && text[at] == '+') {
    ++at;
    if (at < text.size() && text[at] == '-') return 0;
  }
  double value = 0;
  auto [end, ec] = std::from_chars(text.data() + at, text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // The platform reads a text too large for a number as infinite (which no
    // date rule accepts) and one too small as 0.
    std::string_view matched = text.substr(at, static_cast<size_t>(end - (text.data() + at)));
    const size_t exponent = matched.find_first_of("eE");
    const bool tiny = exponent != std::string_view::npos
                          ? matched.substr(exponent + 1, 1) == "-"
                          : matched.find_first_of("123456789") == std::string_view::npos;
    if (tiny) return 0;
    return !matched.empty() && matched.front() == '-' ? -HUGE_VAL : HUGE_VAL;
  }
  if (ec != std::errc()) return 0;
  return value;
}

double number(const SqlRow& row, const std::string& column) {
  auto it = row.find(column);
  return numberFromText(it == row.end() ? std::string_view("1") : std::string_view(it->second));
}

std::optional<int64_t> integerFromText(std::string_view text) {
  if (text.empty()) return std::nullopt;
  size_t at = text.front() == '+' ? 1 : 0;
  if (at == 1 && text.size() > 1 && text[1] == '-') return std::nullopt;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data() + at, text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || at == text.size()) {
    return std::nullopt;
  }
  return value;
}

Timestamp dateFromSeconds(double seconds, bool truncate) {
  // The clock counts nanoseconds in 64 bits.
  constexpr double kLimit = 9.2e9;
  if (!std::isfinite(seconds) || seconds <= -kLimit || seconds >= kLimit) {
    return std::chrono::system_clock::now();
  }
  const double whole = truncate ? std::trunc(seconds) : std::floor(seconds);
  Timestamp date{std::chrono::seconds(static_cast<int64_t>(whole))};
  if (!truncate) {
    // To the microsecond: finer digits of a double of this size are noise.
    date += std::chrono::duration_cast<Timestamp::duration>(
        std::chrono::microseconds(std::llround((seconds - whole) * 1e6)));
  }
  return date;
}

std::string lastPathComponent(std::string_view text) {
  if (text.empty()) return {};
  size_t end = text.find_last_not_of('/');
  if (end == std::string_view::npos) return "/";
  std::string_view trimmed = text.substr(0, end + 1);
  size_t slash = trimmed.rfind('/');
  return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

Url urlFromText(const std::string& text) { return Url::fromString(text); }

Url fileUrlOfPath(const std::string& path) {
  if (path.empty() || path.front() != '/') return Url();
  return Url::fromPath(path);
}

Url downloadUrl(const std::string& text) {
  bool ok = false;
  Url address = Url::fromString(text, &ok);
  if (ok && !address.isFileURL()) return address;
  return fileUrlOfPath(SuperScanService::handleStringTo(text));
}

std::string localPath(const Url& url) { return url.isFileURL() ? url.path() : std::string(); }

namespace {

// Copies the regular file `from` to the new file `to`; true when `from` is
// missing (a journal that is not there has nothing to copy).
bool copyIfThere(const std::string& from, const std::string& to) {
  detail::UniqueFd in(::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!in) return errno == ENOENT;
  struct stat st {};
  if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  detail::UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!out) return false;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out.get(), buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
    }
  }
}

}  // namespace

Store::Store(std::string path, std::string program)
    : path_(std::move(path)), program_(std::move(program)) {}

Store::~Store() { release(); }

void Store::release() {
  db_.closeDB(path_);
  opened_ = true;  // with no connection: nothing is read after this
  if (!copyFolder_.empty()) (void)removeItem(copyFolder_);
  copyFolder_.clear();
}

bool Store::openCopy() {
  db_.closeDB(path_);
  note_ = program_ + " is running: its store is locked and could not be copied";
  const std::string support = SuperScanService::supportFolder().path();
  (void)createDirectory(support, true);
  std::string folder = support + "/.store-copy-XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) return false;
  copyFolder_ = folder;
  const std::string copy = folder + "/" + lastPathComponent(path_);
  // The database before its journals: a writer puts a page's old content in
  // the journal before changing it, so a journal copied later covers every
  // change the database copy may hold.
  if (!copyIfThere(path_, copy) || !fileExists(copy)) return false;
  for (const char* suffix : {"-wal", "-journal"}) {
    if (!copyIfThere(path_ + suffix, copy + suffix)) return false;
  }
  if (!db_.openDB(copy)) return false;
  note_ = program_ + " is running: its store is locked, so a copy of it was read";
  return true;
}

bool Store::notRead(std::string why) {
  LogService::shard().log(LogService::LogLevel::Info, "Privacy store skipped: " + why);
  note_ = "not read: " + why;
  return false;
}

std::optional<std::vector<SqlRow>> Store::rows(const std::string& query) {
  if (!opened_) {
    opened_ = true;
    if (FileStatus kind = checkRegularFile(path_); !kind.ok()) {
      // A store that is not there is no error: the program is not installed.
      if (kind.code() != ENOENT) notRead(kind.message());
      return std::nullopt;
    }
    if (!db_.openDB(path_)) {
      notRead(db_.lastError());
      return std::nullopt;
    }
  }
  if (!db_.isOpen()) return std::nullopt;
  if (auto [ok, why] = db_.executionSQL(query); !ok) {
    if (db_.locked() && copyFolder_.empty()) {
      if (!openCopy()) return std::nullopt;
      std::tie(ok, why) = db_.executionSQL(query);
    }
    if (!ok) {
      if (note_.empty()) notRead(path_ + ": " + why);
      return std::nullopt;
    }
  }
  return db_.queryDBData(query);
}

std::optional<std::vector<SqlRow>> readStore(const std::string& path, const std::string& query,
                                             std::string* error) {
  Store store(path, "");
  std::optional<std::vector<SqlRow>> rows = store.rows(query);
  if (error != nullptr) *error = store.note();
  return rows;
}

std::optional<std::string> readStoreFile(const std::string& path, std::string* error) {
  RegularFile file = RegularFile::open(path, kMaxStoreFileBytes);
  FileStatus status;
  std::optional<std::string> bytes = file.readAll(&status);
  if (!bytes && status.code() != ENOENT) {
    LogService::shard().log(LogService::LogLevel::Info,
                            "Privacy store skipped: " + status.message());
    if (error != nullptr) *error = status.message();
  }
  return bytes;
}

bool writeFileAtomically(const std::string& path, std::string_view bytes) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = folder + "/." + name + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  struct stat existing {};
  const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
  bool ok = ::fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

void handOver(const std::shared_ptr<SerialGCDService>& queue, std::function<void()> work) {
  constexpr int kAttempts = 20;
  for (int n = 0; n < kAttempts; ++n) {
    // Errors other than `cancelled` are reported before run() returns;
    // `cancelled` (the queue is gone) may come later and means "drop it".
    auto refused = std::make_shared<std::atomic<bool>>(false);
    queue->run(work, [refused](JThreadSatefy::THREADRUNERROR e) {
      if (e != JThreadSatefy::THREADRUNERROR::cancelled) refused->store(true);
    });
    if (!refused->load()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  work();
}

void runOnPool(std::function<void()> work) {
  std::function<void()> copy = work;
  if (!dispatchGlobal(DispatchQoS::default_, std::move(work))) copy();
}

FilePtr makeGroup(const CategoryPtr& category, int finderID, Status status, const Url& store,
                  const std::string& iconName) {
  FilePtr group =
      makeGroup(category, finderID, PrivacyScanService::titleOf(status), store, iconName);
  group->attachInformation = status;
  return group;
}

FilePtr makeGroup(const CategoryPtr& category, int finderID, std::string title, const Url& store,
                  const std::string& iconName) {
  return std::make_shared<FileInformation>(
      0, finderID, category->finderID(), std::move(title), Image::named(iconName), 0,
      std::chrono::system_clock::now(), store, "", true, false, std::any{}, std::vector<FilePtr>{},
      category, raw(FilesKind::Privacy), 0, nullptr);
}

FilePtr makeItem(const FilePtr& group, const CategoryPtr& category, int finderID, std::string title,
                 Timestamp date, Url url, std::any attachment, int levelInt) {
  return std::make_shared<FileInformation>(0, finderID, group->finderID(), std::move(title),
                                           Image{}, 0, date, std::move(url), "", true, false,
                                           std::move(attachment), std::vector<FilePtr>{}, category,
                                           raw(FilesKind::Privacy), levelInt, group);
}

void attach(const FilePtr& group, std::vector<FilePtr> items) {
  for (size_t i = 0; i < items.size(); ++i) {
    items[i]->setFinderID(static_cast<int>(i));
    items[i]->parentFinderID = group->finderID();
  }
  group->childrens = std::move(items);
}

FilePtr databaseGroup(const CategoryPtr& category, int finderID, Status status, Store& store,
                      const std::string& query, const std::string& iconName,
                      const RowItemMaker& makeItem) {
  FilePtr group = makeGroup(category, finderID, status, Url::fromPath(store.path()), iconName);
  std::vector<FilePtr> items;
  if (auto rows = store.rows(query)) {
    for (const SqlRow& row : *rows) {
      items.push_back(makeItem(row, group, static_cast<int>(items.size())));
    }
  }
  attach(group, std::move(items));
  if (!store.note().empty()) group->scanErrorDesc = store.note();
  return group;
}

std::pair<FilePtr, FilePtr> downloadGroups(const CategoryPtr& category, int finderID, Store& store,
                                           const std::string& query, const DownloadReader& read) {
  const Url url = Url::fromPath(store.path());
  FilePtr downloads = makeGroup(category, finderID, Status::Download, url, "DownloadHistory");
  FilePtr files =
      makeGroup(category, finderID + 1, Status::DownloadFile, url, "DownloadFileHistory");
  std::vector<FilePtr> downloadItems;
  std::vector<FilePtr> fileItems;
  if (auto rows = store.rows(query)) {
    for (const SqlRow& row : *rows) {
      std::optional<DownloadRow> download = read(row);
      if (!download) continue;
      downloadItems.push_back(makeItem(downloads, category, static_cast<int>(downloadItems.size()),
                                       download->title, download->date, download->url, download->id,
                                       1));
      const std::string path = localPath(download->url);
      if (!path.empty() && fileExists(path)) {
        fileItems.push_back(makeItem(files, category, static_cast<int>(fileItems.size()),
                                     download->title, download->date, download->url, download->id,
                                     1));
      }
    }
  }
  attach(downloads, std::move(downloadItems));
  attach(files, std::move(fileItems));
  if (!store.note().empty()) downloads->scanErrorDesc = files->scanErrorDesc = store.note();
  return {downloads, files};
}

}  // namespace orvexa::privacy
