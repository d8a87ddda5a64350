// The digest cache: what invalidates an entry, eviction, and a cache that
// cannot be used never failing a scan.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "orvexa/units/sqlite_tool.h"
#include "scan/duplicate/duplicate_test_util.h"
#include "scan/duplicate/hash_cache.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using duplicate_internal::ContentDigest;
using duplicate_internal::FileKey;
using duplicate_internal::HashCache;
using duplicate_internal::KnownDigests;

TEST(DigestCacheTest, AnyChangeOfTheKeyMakesAnEntryUnknown) {
  testing::Sandbox sb;
  const std::string db = sb.path("/cache.sqlite");
  const FileKey key{7, 42, 1000, 111, 222};
  const KnownDigests digests{ContentDigest{1, 2}, ContentDigest{3, 4}, ContentDigest{5, 6}};
  {
    auto cache = HashCache::open(db);
    ASSERT_NE(cache, nullptr);
    cache->remember(key, digests);
    cache->flush();
  }
  const struct {
    const char* field;
    FileKey key;
  } changed[] = {{"device", {8, 42, 1000, 111, 222}},
                 {"inode", {7, 43, 1000, 111, 222}},
                 {"size", {7, 42, 1001, 111, 222}},
                 {"modification time", {7, 42, 1000, 112, 222}},
                 {"change time", {7, 42, 1000, 111, 223}}};
  auto cache = HashCache::open(db);
  ASSERT_NE(cache, nullptr);
  for (const auto& c : changed) EXPECT_FALSE(cache->find(c.key)) << c.field;
  std::optional<KnownDigests> found = cache->find(key);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->full, digests.full);
  EXPECT_EQ(found->last, digests.last);
}

TEST(DigestCacheTest, LeastRecentlyUsedEntriesGoPastTheCap) {
  testing::Sandbox sb;
  const std::string db = sb.path("/cache.sqlite");
  const KnownDigests d{ContentDigest{1, 1}, std::nullopt, std::nullopt};
  for (uint64_t inode : {1U, 2U}) {
    auto cache = HashCache::open(db, 2);
    cache->remember({1, inode, 5, 0, 0}, d);
    cache->flush();
  }
  {
    auto cache = HashCache::open(db, 2);
    EXPECT_TRUE(cache->find({1, 1, 5, 0, 0}));  // now used after inode 2
    cache->remember({1, 3, 5, 0, 0}, d);
    cache->flush();
  }
  auto cache = HashCache::open(db, 2);
  EXPECT_TRUE(cache->find({1, 1, 5, 0, 0}));
  EXPECT_FALSE(cache->find({1, 2, 5, 0, 0}));
  EXPECT_TRUE(cache->find({1, 3, 5, 0, 0}));
}

// A corrupt cache file and one locked by another program: the scan reads
// the files instead and finds the same group.
TEST(DigestCacheTest, AnUnusableCacheNeverFailsAScan) {
  testing::Sandbox sb;
  const std::string content = testing::randomBytes(20000, 9);
  const std::string a = sb.file("~/Documents/a.bin", content);
  const std::string b = sb.file("~/Documents/b.bin", content);
  sb.file("~/Documents/c.bin", testing::randomBytes(20000, 10));
  testing::LimitSizeGuard limit(0);
  DuplicateScanService::useDigestCache = true;
  const std::string db = HashCache::defaultPath();
  for (const char* state : {"corrupt", "locked"}) {
    SCOPED_TRACE(state);
    std::filesystem::create_directories(std::filesystem::path(db).parent_path());
    SqliteTool holder;
    if (std::string(state) == "corrupt") {
      std::ofstream(db, std::ios::trunc) << std::string(8192, 'x');
    } else {
      std::filesystem::remove(db);
      ASSERT_TRUE(holder.openDB(db));
      ASSERT_TRUE(holder.executionSQL("BEGIN EXCLUSIVE; CREATE TABLE t(x)").first);
    }
    EXPECT_EQ(testing::runScan({sb.path("~/Documents")}).groups(), (testing::PathGroups{{a, b}}));
  }
  DuplicateScanService::useDigestCache = false;
}

}  // namespace
}  // namespace orvexa
