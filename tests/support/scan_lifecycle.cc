#include "support/scan_lifecycle.h"

#include <gtest/gtest.h>

#include <random>

#include "orvexa/units/scan_status.h"
#include "support/temp_dir.h"

namespace orvexa::testing {

std::string logOfStartWhileRunning(int featureID, const std::function<void()>& start) {
  ScanStatusTable::set(featureID, ScanState::start);
  const size_t offset = logSize();
  start();
  EXPECT_EQ(ScanStatusTable::get(featureID), static_cast<int>(ScanState::start));
  return logSince(offset);
}

int runStopStorm(const StopStorm& storm) {
  std::mt19937 random(storm.seed);
  std::uniform_int_distribution<long> delayUs(0, static_cast<long>(storm.longestDelay.count()));
  int stopped = 0;
  for (int run = 0; run < storm.runs; ++run) {
    SCOPED_TRACE(run);
    ScanStatusTable::erase(storm.featureID);
    Signal done;
    storm.start(done);
    // A run that ended before its moment came is not stopped (a stop after
    // the end leaves the finished feature as it is).
    if (!done.wait(std::chrono::microseconds(delayUs(random))) &&
        ScanStatusTable::get(storm.featureID) == static_cast<int>(ScanState::start)) {
      storm.stop();
      ++stopped;
    }
    EXPECT_TRUE(done.wait(std::chrono::seconds(60)));
    if (storm.settle) storm.settle();
    EXPECT_EQ(done.count(), 1);
    EXPECT_EQ(ScanStatusTable::get(storm.featureID), static_cast<int>(ScanState::end));
  }
  ScanStatusTable::erase(storm.featureID);
  return stopped;
}

}  // namespace orvexa::testing
