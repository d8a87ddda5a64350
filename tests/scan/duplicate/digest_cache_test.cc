// The digest cache: what invalidates an entry, eviction, and a cache that
// cannot be used never failing a scan.
#include <gtest/gtest.h>

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

TEST(DigestCacheTest, AnyChangeOfTheKeyMakesAnEntryUnknownAndTheLeastUsedGoFirst) {
  testing::Sandbox sb;
  const std::string db = sb.path("/cache.sqlite");
  const FileKey key{7, 42, 1000, 111, 222};
  auto remember = [&](const FileKey& k) {
    auto cache = HashCache::open(db, 2);
    cache->remember(k, {ContentDigest{1, 2}, ContentDigest{3, 4}, ContentDigest{5, 6}});
    cache->flush();
  };
  remember(key);
  remember({7, 1, 5, 0, 0});
  auto cache = HashCache::open(db, 2, 0);  // every entry found is marked
  ASSERT_NE(cache, nullptr);
  // Another file (inode), and the same file changed in place (modified time).
  EXPECT_FALSE(cache->find({7, 43, 1000, 111, 222}) || cache->find({7, 42, 1000, 112, 222}));
  EXPECT_EQ(cache->find(key).value().last, (ContentDigest{3, 4}));  // now used after {7, 1}
  cache->flush();
  cache.reset();
  remember({7, 2, 5, 0, 0});  // past the cap of 2: {7, 1} goes
  cache = HashCache::open(db, 2);
  EXPECT_TRUE(cache->find(key));
  EXPECT_FALSE(cache->find({7, 1, 5, 0, 0}));
}

// A corrupt cache file and one locked by another program: the scan reads
// the files instead and finds the same group.
TEST(DigestCacheTest, AnUnusableCacheNeverFailsAScan) {
  testing::Sandbox sb;
  const std::string a = sb.file("~/Documents/a.bin", testing::randomBytes(20000, 9));
  const std::string b = sb.file("~/Documents/b.bin", testing::randomBytes(20000, 9));
  sb.file("~/Documents/c.bin", testing::randomBytes(20000, 10));
  testing::LimitSizeGuard limit(0);
  DuplicateScanService::useDigestCache = true;
  const std::string db = HashCache::defaultPath();
  std::filesystem::create_directories(std::filesystem::path(db).parent_path());
  for (bool corrupt : {true, false}) {
    SqliteTool holder;
    if (corrupt) {
      std::ofstream(db, std::ios::trunc) << std::string(8192, 'x');
    } else {
      std::filesystem::remove(db);
      ASSERT_TRUE(holder.openDB(db));
      ASSERT_TRUE(holder.executionSQL("BEGIN EXCLUSIVE; CREATE TABLE t(x)").first);
    }
    EXPECT_EQ(testing::runScan({sb.path("~/Documents")}).groups(), (testing::PathGroups{{a, b}}))
        << (corrupt ? "corrupt" : "locked");
  }
  DuplicateScanService::useDigestCache = false;
}

}  // namespace
}  // namespace orvexa
