// The lifecycle checks every scanner shares: a start while the feature is
// already running, and stops at random moments.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>

#include "orvexa/units/scan_status.h"
#include "support/signal.h"
#include "support/temp_dir.h"

namespace orvexa::testing {

// Marks `featureID` running and calls `start`, which must wait for whatever it
// queued; checks the feature still runs and returns what the log gained.
inline std::string logOfStartWhileRunning(int featureID, const std::function<void()>& start) {
  ScanStatusTable::set(featureID, ScanState::start);
  const size_t offset = logSize();
  start();
  EXPECT_EQ(ScanStatusTable::get(featureID), static_cast<int>(ScanState::start));
  return logSince(offset);
}

// Runs `runs` scans one after another: `start(done)` starts one whose end
// notifies `done`; unless it ended first, `stop()` comes after a random delay
// below `longestDelay`. `settle()` then waits for the scan's queues and checks
// what the run left. Every run must end with exactly one done and the feature
// at `end`. Returns how many runs were stopped mid-way.
inline int runStopStorm(int featureID, int runs, std::chrono::microseconds longestDelay,
                        uint32_t seed, const std::function<void(Signal&)>& start,
                        const std::function<void()>& stop, const std::function<void()>& settle) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<long> delayUs(0, static_cast<long>(longestDelay.count()));
  int stopped = 0;
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE(run);
    ScanStatusTable::erase(featureID);
    Signal done;
    start(done);
    // A stop after the end would leave the finished feature as it is.
    if (!done.wait(std::chrono::microseconds(delayUs(random))) &&
        ScanStatusTable::get(featureID) == static_cast<int>(ScanState::start)) {
      stop();
      ++stopped;
    }
    EXPECT_TRUE(done.wait(std::chrono::seconds(60)));
    settle();
    EXPECT_EQ(done.count(), 1);
    EXPECT_EQ(ScanStatusTable::get(featureID), static_cast<int>(ScanState::end));
  }
  ScanStatusTable::erase(featureID);
  return stopped;
}

}  // namespace orvexa::testing
