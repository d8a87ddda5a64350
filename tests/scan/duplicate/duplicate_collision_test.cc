// The content digest as a seam: a digest that collides must never put files
// of different content in one group (every group is confirmed byte for
// byte), and a stop while digests are taken files nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "scan/duplicate/content_reader.h"
#include "scan/duplicate/duplicate_test_util.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using duplicate_internal::ContentDigest;
using duplicate_internal::ReadBuffer;
using testing::PathGroups;
using testing::randomBytes;

// Replaces the content digest with one that gives every file the same value
// (a crafted collision), counting the files it was asked for.
class CollidingDigest {
 public:
  CollidingDigest() {
    duplicate_internal::setDigestFunctionForTesting(
        [this](const std::string&, int64_t, ReadBuffer&) -> std::optional<ContentDigest> {
          ++calls_;
          return ContentDigest{0x0123456789abcdefULL, 0xfedcba9876543210ULL};
        });
  }
  ~CollidingDigest() { duplicate_internal::setDigestFunctionForTesting(nullptr); }
  int calls() const { return calls_.load(); }

 private:
  std::atomic<int> calls_{0};
};

TEST(DuplicateCollisionTest, ByteComparisonSplitsFilesWhoseDigestsCollide) {
  testing::Sandbox sb;
  // Five files of one size with the same first and last 4 KiB, so that only
  // the whole-content digest can tell them apart: two pairs of copies and
  // one file of its own.
  const std::string shared = randomBytes(4096, 50);
  auto content = [&](char seed) {
    return shared + randomBytes(600000, static_cast<uint32_t>(seed)) + shared;
  };
  std::map<char, std::set<std::string>> copies;  // by first letter
  for (const char* name : {"a1", "a2", "b1", "b2", "c"})
    copies[*name].insert(sb.file(std::string("~/Documents/") + name, content(*name)));

  CollidingDigest digest;
  testing::ScanOutcome scan = testing::runScan({sb.path("~/Documents")});
  // Every file went through the digest.
  EXPECT_EQ(std::pair(digest.calls(), scan.files()),
            std::pair(5, PathGroups{copies['a'], copies['b']}));

  // The groups of one digest get keys of their own.
  std::string keys;
  for (const FilePtr& g : scan.all()->childrens)
    keys += std::any_cast<std::string>(g->attachInformation) + " ";
  EXPECT_EQ(keys, "0123456789abcdeffedcba9876543210 0123456789abcdeffedcba9876543210#2 ");
}

TEST(DuplicateCollisionTest, CollidingFolderKeysAreSplitFileByFile) {
  testing::Sandbox sb;
  const std::string x = randomBytes(600000, 60);
  std::string y = x;
  y[300000] = static_cast<char>(y[300000] ^ 0x40);
  for (const std::string folder : {"A", "B", "C", "D"})
    sb.file("~/Documents/" + folder + "/f.bin", folder < "C" ? x : y);

  CollidingDigest digest;
  testing::ScanOutcome scan = testing::runScan({sb.path("~/Documents")});
  EXPECT_EQ(scan.folders(), (PathGroups{{sb.path("~/Documents/A"), sb.path("~/Documents/B")},
                                        {sb.path("~/Documents/C"), sb.path("~/Documents/D")}}));
  EXPECT_EQ(scan.files(),
            (PathGroups{{sb.path("~/Documents/A/f.bin"), sb.path("~/Documents/B/f.bin")},
                        {sb.path("~/Documents/C/f.bin"), sb.path("~/Documents/D/f.bin")}}));
}

TEST(DuplicateScanStopConcurrencyTest, AStopDuringHashingEndsWithOneDoneAndStateEnd) {
  testing::Sandbox sb;
  testing::LimitSizeGuard limit(1);
  // Three sets of copies; the digest waits until the stop arrives, then
  // reads for real (and must give up).
  for (int i = 0; i < 3; ++i) {
    sb.file("~/Documents/c" + std::to_string(i) + ".bin", randomBytes(64 * 1024, 70));
    sb.file("~/Documents/d" + std::to_string(i) + ".bin", randomBytes(90000, 71));
    sb.file("~/Documents/e" + std::to_string(i) + ".bin", randomBytes(2000, 72));
  }
  testing::Signal hashing;
  std::atomic<int> gaveDigest{0};
  duplicate_internal::setDigestFunctionForTesting([&](const std::string& path, int64_t size,
                                                      ReadBuffer& buffer) {
    hashing.notify();
    while (!duplicate_internal::readingSuspended())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::optional<ContentDigest> digest = duplicate_internal::xxh3ContentDigest(path, size, buffer);
    if (digest) ++gaveDigest;
    return digest;
  });

  testing::ScanOutcome scan = testing::duplicateFeature();
  auto queue = std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
  testing::Signal done;
  std::atomic<int64_t> total{-1};
  DuplicateScanService::scanDuplicate(
      scan.feature, {Url::fromPath(sb.path("~/Documents"))}, nullptr, [](float) {}, nullptr,
      [&](const FeaturePtr&, int64_t size) {
        total = size;
        done.notify();
      },
      queue, DispatchQoS::userInitiated);
  ASSERT_TRUE(hashing.wait());
  SuperScanService::stop(scan.feature);
  ASSERT_TRUE(done.wait());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // nothing else arrives
  queue->waitUntilIdle();
  duplicate_internal::setDigestFunctionForTesting(nullptr);

  // Done once, nothing digested or filed.
  EXPECT_EQ(
      std::tuple(done.count(), gaveDigest.load(), total.load(), scan.groups(), scan.files(),
                 ScanStatusTable::get(scan.feature->finderID)),
      std::tuple(1, 0, int64_t{0}, PathGroups{}, PathGroups{}, static_cast<int>(ScanState::end)));
}

}  // namespace
}  // namespace orvexa
