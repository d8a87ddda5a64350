#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "orvexa/scan/master/system_scan_service.h"
#include "support/features.h"
#include "support/sandbox.h"
#include "support/signal.h"

namespace orvexa {
namespace {

constexpr int kFeatureID = 8202;

// Stops the system junk scan at random moments over and over: every run must
// end with exactly one `done`, the feature `end`, and (under ThreadSanitizer)
// no data race.
TEST(SystemScanStopConcurrencyTest, EveryStoppedRunEndsWithExactlyOneDone) {
  testing::Sandbox sb;
  std::vector<testing::CategorySpec> categories;
  for (int c = 0; c < 4; ++c) {
    std::string base = "~/Library/Caches/c" + std::to_string(c);
    for (int d = 0; d < 50; ++d) {
      for (int f = 0; f < 100; ++f) {
        sb.file(base + "/d" + std::to_string(d) + "/f" + std::to_string(f), 16);
      }
    }
    categories.push_back({"C" + std::to_string(c),
                          c % 2 ? CategoryInfomationKind::Common
                                : CategoryInfomationKind::SystemCache,
                          {sb.path(base)}});
  }
  auto module = testing::makeModule(kFeatureID, categories);
  FeaturePtr feature = testing::featureOf(module);
  auto queue = std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);

  std::mt19937 random(20261205);
  std::uniform_int_distribution<int> delayUs(0, 20000);
  const int runs = 200;
  int stopped = 0;
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE(run);
    ScanStatusTable::erase(kFeatureID);
    std::atomic<int> doneCalls{0};
    testing::Signal done;
    SystemScanService::scan(feature, [](const std::string&, int64_t) {}, [](float) {},
                            [](int, const CategoryResult&) {},
                            [&](std::map<int, CategoryResult> results) {
                              EXPECT_EQ(results.size(), 4u);
                              ++doneCalls;
                              done.notify();
                            },
                            queue);
    // A run that finished before its moment came is not stopped (a stop
    // after the end leaves the finished feature as it is).
    if (!done.wait(std::chrono::microseconds(delayUs(random))) &&
        ScanStatusTable::get(kFeatureID) == static_cast<int>(ScanState::start)) {
      SystemScanService::stop(feature);
      ++stopped;
    }
    ASSERT_TRUE(done.wait(std::chrono::seconds(60)));
    queue->waitUntilIdle();
    EXPECT_EQ(doneCalls.load(), 1);
    EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::end));
  }
  EXPECT_GT(stopped, runs / 2) << "most runs must really be stopped mid-way";
  ScanStatusTable::erase(kFeatureID);
}

}  // namespace
}  // namespace orvexa
