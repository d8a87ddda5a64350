#include "orvexa/scan/privacy/privacy_stores.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <thread>

#include "orvexa/platform/ascii_case.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/file_writer.h"
#include "orvexa/platform/image.h"
#include "orvexa/platform/paths.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/log_service.h"
#include "platform/unique_fd.h"

namespace orvexa::privacy {
namespace {

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
        if (equalsIgnoringAsciiCase(entry, name)) {
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

std::string text(const SqlRow& row, const std::string& column) {
  auto it = row.find(column);
  return it == row.end() ? std::string() : it->second;
}

double number(const SqlRow& row, const std::string& column) {
  auto it = row.find(column);
  return numberFromText(it == row.end() ? std::string_view("1") : std::string_view(it->second));
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
  RegularFile in = RegularFile::open(from, kNoSizeLimit, Links::kRefuse);
  if (!in.ok()) return in.status().code() == ENOENT;
  detail::UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!out) return false;
  char buffer[65536];
  for (;;) {
    const ssize_t n = in.read(buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) return true;
    if (!writeAll(out.get(), std::string_view(buffer, static_cast<size_t>(n)), to).ok()) {
      return false;
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
  std::vector<SqlRow> all;
  if (!forEachRow(query, [&all](const SqlRow& row) { all.push_back(row); })) return std::nullopt;
  return all;
}

bool Store::forEachRow(const std::string& query, const std::function<void(const SqlRow&)>& row) {
  if (!opened_) {
    opened_ = true;
    if (FileStatus kind = checkRegularFile(path_); !kind.ok()) {
      // A store that is not there is no error: the program is not installed.
      if (kind.code() != ENOENT) notRead(kind.message());
      return false;
    }
    if (!db_.openDB(path_)) {
      notRead(db_.lastError());
      return false;
    }
  }
  if (!db_.isOpen()) return false;
  if (auto [ok, why] = db_.executionSQL(query); !ok) {
    if (db_.locked() && copyFolder_.empty()) {
      if (!openCopy()) return false;
      std::tie(ok, why) = db_.executionSQL(query);
    }
    if (!ok) {
      if (note_.empty()) notRead(path_ + ": " + why);
      return false;
    }
  }
  return db_.forEachRow(query, row);
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

}  // namespace orvexa::privacy
