#include "scan/duplicate/hash_cache.h"

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <system_error>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "scan/duplicate/duplicate_scan_queue.h"

namespace orvexa::duplicate_internal {
namespace {

// A cache is a convenience: waiting long for another scan's lock would cost
// more than reading the files.
constexpr int kBusyMs = 250;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS digests("
    " device INTEGER NOT NULL, inode INTEGER NOT NULL, size INTEGER NOT NULL,"
    " mtime INTEGER NOT NULL, ctime INTEGER NOT NULL,"
    " first BLOB, last BLOB, full BLOB, used INTEGER NOT NULL,"
    " PRIMARY KEY(device, inode)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS digests_used ON digests(used);";

std::vector<uint8_t> toBlob(const ContentDigest& d) {
  std::vector<uint8_t> blob(16);
  for (int i = 0; i < 8; ++i) {
    blob[static_cast<size_t>(i)] = static_cast<uint8_t>(d.high >> (56 - 8 * i));
    blob[static_cast<size_t>(8 + i)] = static_cast<uint8_t>(d.low >> (56 - 8 * i));
  }
  return blob;
}

std::optional<ContentDigest> fromColumn(sqlite3_stmt* s, int column) {
  if (sqlite3_column_type(s, column) != SQLITE_BLOB || sqlite3_column_bytes(s, column) != 16) {
    return std::nullopt;
  }
  const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(s, column));
  ContentDigest d;
  for (int i = 0; i < 8; ++i) {
    d.high = (d.high << 8) | p[i];
    d.low = (d.low << 8) | p[8 + i];
  }
  return d;
}

void bindDigest(sqlite3_stmt* s, int index, const std::optional<ContentDigest>& d) {
  if (!d) {
    sqlite3_bind_null(s, index);
    return;
  }
  const std::vector<uint8_t> blob = toBlob(*d);
  sqlite3_bind_blob(s, index, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
}

int64_t asSql(uint64_t v) { return static_cast<int64_t>(v); }  // bit pattern kept

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct Statement {
  sqlite3_stmt* s = nullptr;
  ~Statement() { sqlite3_finalize(s); }
};

}  // namespace

std::string HashCache::defaultPath() {
  std::string bundle = Identity::shared().bundleIdentifier();
  if (bundle.empty() || bundle.find('/') != std::string::npos || bundle.front() == '.') {
    bundle = "org.orvexa";
  }
  return Paths::shared().userCacheFolder() + "/" + bundle + "/DuplicateDigests.sqlite";
}

std::unique_ptr<HashCache> HashCache::open(const std::string& path, size_t maxEntries,
                                           int64_t touchAfterNs) {
  std::unique_ptr<HashCache> cache(new HashCache);
  cache->maxEntries_ = maxEntries;
  cache->touchAfterNs_ = touchAfterNs;
  cache->openedNs_ = nowNs();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  if (sqlite3_open_v2(path.c_str(), &cache->db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                      nullptr) != SQLITE_OK) {
    cache->disable("cannot open " + path + ": " + cache->error());
    return nullptr;
  }
  sqlite3_busy_timeout(cache->db_, kBusyMs);
  // Write-ahead logging without a sync per commit: a cache may lose its last
  // run to a power cut, but never its consistency.
  (void)sqlite3_exec(cache->db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr,
                     nullptr, nullptr);
  if (sqlite3_exec(cache->db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(cache->db_,
                         "SELECT size, mtime, ctime, first, last, full, used FROM digests"
                         " WHERE device = ? AND inode = ?",
                         -1, &cache->find_, nullptr) != SQLITE_OK) {
    cache->disable(path + ": " + cache->error());
    return nullptr;
  }
  return cache;
}

HashCache::~HashCache() {
  sqlite3_finalize(find_);  // an open read transaction ends with the connection
  if (db_ != nullptr) sqlite3_close_v2(db_);
}

std::string HashCache::error() const {
  return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
}

void HashCache::disable(const std::string& why) {
  logInfo("Duplicate digest cache not used: " + why);
  sqlite3_finalize(find_);
  find_ = nullptr;
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
  pending_.clear();
  used_.clear();
}

std::optional<KnownDigests> HashCache::find(const FileKey& key) {
  if (db_ == nullptr) return std::nullopt;
  // One read transaction for all lookups instead of a lock per lookup.
  if (!reading_) {
    if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
      disable("reading: " + error());
      return std::nullopt;
    }
    reading_ = true;
  }
  sqlite3_reset(find_);
  sqlite3_bind_int64(find_, 1, asSql(key.device));
  sqlite3_bind_int64(find_, 2, asSql(key.inode));
  const int rc = sqlite3_step(find_);
  if (rc == SQLITE_DONE) return std::nullopt;
  if (rc != SQLITE_ROW) {
    disable("reading: " + error());
    return std::nullopt;
  }
  if (sqlite3_column_int64(find_, 0) != key.size ||
      sqlite3_column_int64(find_, 1) != key.modifiedNs ||
      sqlite3_column_int64(find_, 2) != key.changedNs) {
    return std::nullopt;
  }
  KnownDigests found{fromColumn(find_, 3), fromColumn(find_, 4), fromColumn(find_, 5)};
  if (openedNs_ - sqlite3_column_int64(find_, 6) >= touchAfterNs_) {
    used_.emplace_back(key.device, key.inode);
  }
  return found;
}

void HashCache::remember(const FileKey& key, const KnownDigests& digests) {
  if (db_ == nullptr) return;
  pending_.emplace_back(key, digests);
}

void HashCache::flush() {
  if (db_ == nullptr) return;
  sqlite3_reset(find_);
  if (reading_) (void)sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  reading_ = false;
  if (pending_.empty() && used_.empty()) return;
  const int64_t now = nowNs();
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    disable("cannot write: " + error());
    return;
  }
  Statement touch;
  Statement store;
  bool ok = sqlite3_prepare_v2(db_, "UPDATE digests SET used = ? WHERE device = ? AND inode = ?",
                               -1, &touch.s, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db_,
                               "INSERT OR REPLACE INTO digests(device, inode, size, mtime, ctime,"
                               " first, last, full, used) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                               -1, &store.s, nullptr) == SQLITE_OK;
  for (size_t i = 0; ok && i < used_.size(); ++i) {
    sqlite3_reset(touch.s);
    sqlite3_bind_int64(touch.s, 1, now);
    sqlite3_bind_int64(touch.s, 2, asSql(used_[i].first));
    sqlite3_bind_int64(touch.s, 3, asSql(used_[i].second));
    ok = sqlite3_step(touch.s) == SQLITE_DONE;
  }
  for (size_t i = 0; ok && i < pending_.size(); ++i) {
    const auto& [key, digests] = pending_[i];
    sqlite3_reset(store.s);
    sqlite3_bind_int64(store.s, 1, asSql(key.device));
    sqlite3_bind_int64(store.s, 2, asSql(key.inode));
    sqlite3_bind_int64(store.s, 3, key.size);
    sqlite3_bind_int64(store.s, 4, key.modifiedNs);
    sqlite3_bind_int64(store.s, 5, key.changedNs);
    bindDigest(store.s, 6, digests.first);
    bindDigest(store.s, 7, digests.last);
    bindDigest(store.s, 8, digests.full);
    sqlite3_bind_int64(store.s, 9, now);
    ok = sqlite3_step(store.s) == SQLITE_DONE;
  }
  if (ok) {
    Statement evict;
    ok = sqlite3_prepare_v2(db_,
                            "DELETE FROM digests WHERE (device, inode) IN (SELECT device, inode"
                            " FROM digests ORDER BY used LIMIT max(0, (SELECT count(*) FROM"
                            " digests) - ?))",
                            -1, &evict.s, nullptr) == SQLITE_OK &&
         sqlite3_bind_int64(evict.s, 1, static_cast<int64_t>(maxEntries_)) == SQLITE_OK &&
         sqlite3_step(evict.s) == SQLITE_DONE;
  }
  if (!ok || sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    const std::string why = "writing: " + error();
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    disable(why);
    return;
  }
  pending_.clear();
  used_.clear();
}

}  // namespace orvexa::duplicate_internal
