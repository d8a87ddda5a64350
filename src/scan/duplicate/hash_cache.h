// Internal: the persistent digest cache of the duplicate scan, an SQLite
// database in the user's cache folder (below the paths table's root).
//
// An entry is keyed by a file's device and inode and holds the size, the
// modification and change times (nanoseconds) it was read at, with the
// digests of its first block, last block and whole content that are known.
// An entry is used only when all five key fields still match; any change
// makes it unknown (and the next store replaces it). The change time cannot
// be set back by users, so a rewrite in place that restores the old
// modification time is still seen.
//
// The cache only saves reading: groups built from cached digests are not
// compared byte for byte before they are reported, but every removal
// compares the bytes again before it acts, so a stale or colliding entry can
// never cost data.
//
// Size: at most `maxEntries` entries; past that the least recently used
// (found or stored) go first. An entry found is marked used again only once
// its mark is `touchAfterNs` old (a day by default): eviction needs no finer
// order, and a re-run over an unchanged tree then writes nothing.
//
// Errors: a cache that cannot be opened, read or written (locked by another
// scan past a short wait, corrupt, unwritable folder) never fails a scan:
// open gives nothing, a later failure turns the cache off for the rest of
// the run; either way the reason goes to the log.
//
// Thread-safety: none; one scan uses its instance from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scan/duplicate/content_reader.h"

struct sqlite3;
struct sqlite3_stmt;

namespace orvexa::duplicate_internal {

struct FileKey {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
};

struct KnownDigests {
  std::optional<ContentDigest> first;  // of the first min(kPrefixBytes, size) bytes
  std::optional<ContentDigest> last;   // of the last min(kPrefixBytes, size) bytes
  std::optional<ContentDigest> full;   // of the whole content
};

class HashCache {
 public:
  static constexpr size_t kDefaultMaxEntries = 500000;
  static constexpr int64_t kDefaultTouchAfterNs = 24LL * 3600 * 1000000000;

  // The database file: <user Library>/Caches/<bundle id or org.orvexa>/DuplicateDigests.sqlite.
  static std::string defaultPath();

  // Opens (creating the file and its folder when missing); null on failure.
  static std::unique_ptr<HashCache> open(const std::string& path,
                                         size_t maxEntries = kDefaultMaxEntries,
                                         int64_t touchAfterNs = kDefaultTouchAfterNs);
  ~HashCache();
  HashCache(const HashCache&) = delete;
  HashCache& operator=(const HashCache&) = delete;

  // The digests of an entry whose key matches all five fields.
  std::optional<KnownDigests> find(const FileKey& key);
  // Kept in memory until flush; an entry found and not remembered again is
  // still marked as used by flush.
  void remember(const FileKey& key, const KnownDigests& digests);
  // Writes what was remembered in one transaction and evicts past the cap.
  void flush();

  bool usable() const { return db_ != nullptr; }

 private:
  HashCache() = default;
  std::string error() const;  // SQLite's text for the last failure
  void disable(const std::string& why);

  sqlite3* db_ = nullptr;
  sqlite3_stmt* find_ = nullptr;
  size_t maxEntries_ = kDefaultMaxEntries;
  int64_t openedNs_ = 0;
  int64_t touchAfterNs_ = kDefaultTouchAfterNs;
  bool reading_ = false;  // a read transaction is open
  std::vector<std::pair<FileKey, KnownDigests>> pending_;
  std::vector<std::pair<uint64_t, uint64_t>> used_;  // found entries (device, inode)
};

}  // namespace orvexa::duplicate_internal
