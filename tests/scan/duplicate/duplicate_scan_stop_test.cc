// Stopping the duplicate scan while it reads: one `done`, state `end`, no
// group filed from a half-read set.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "orvexa/units/swift_file_hash.h"
#include "scan/duplicate/content_reader.h"
#include "scan/duplicate/duplicate_test_util.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using duplicate_internal::ContentDigest;
using duplicate_internal::ReadBuffer;
using Kind = DuplicateScanService::DuplicateKind;

constexpr int kDuplicatesFeature = 7;

TEST(DuplicateScanStopConcurrencyTest, AStopDuringHashingEndsWithOneDoneAndStateEnd) {
  testing::Sandbox sb;
  testing::LimitSizeGuard limit(1);
  // Three copies: the set goes through the digest, which waits here until
  // the stop arrives and then reads for real (and must give up).
  const std::string bytes = testing::randomBytes(64 * 1024, 70);
  for (int i = 0; i < 3; ++i) sb.file("~/Documents/c" + std::to_string(i) + ".bin", bytes);
  // Two more sets that are being read by the other worker meanwhile.
  for (int i = 0; i < 3; ++i) {
    sb.file("~/Documents/d" + std::to_string(i) + ".bin", testing::randomBytes(90000, 71));
    sb.file("~/Documents/e" + std::to_string(i) + ".bin", testing::randomBytes(2000, 72));
  }

  testing::Signal hashing;
  std::atomic<int> gaveDigest{0};
  duplicate_internal::setDigestFunctionForTesting([&](const std::string& path, int64_t size,
                                                      ReadBuffer& buffer) {
    hashing.notify();
    while (!duplicate_internal::readingSuspended()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
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
  // Nothing else arrives later.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  queue->waitUntilIdle();
  duplicate_internal::setDigestFunctionForTesting(nullptr);

  EXPECT_EQ(done.count(), 1);
  EXPECT_EQ(gaveDigest.load(), 0);
  EXPECT_EQ(total.load(), 0);
  EXPECT_TRUE(scan.all()->childrens.empty());
  EXPECT_TRUE(scan.view(Kind::File)->childrens.empty());
  EXPECT_EQ(ScanStatusTable::get(kDuplicatesFeature), static_cast<int>(ScanState::end));

  // The next scan reads again.
  testing::ScanOutcome again = testing::runScan({sb.path("~/Documents")});
  EXPECT_EQ(SwiftFileHashUnit::shard().scanState.load(), static_cast<int>(ScanState::start));
  EXPECT_EQ(testing::groupsIn(again.view(Kind::File)).size(), 3u);
}

}  // namespace
}  // namespace orvexa
