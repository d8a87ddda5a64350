// The lifecycle checks every scanner shares: a start while the feature is
// already running, and stops at random moments.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "support/signal.h"

namespace orvexa::testing {

// Marks `featureID` running and calls `start`, which must wait for whatever it
// queued. Checks that the feature is still running afterwards and returns what
// the shared log gained meanwhile (the caller checks its line and that no
// callback ran).
std::string logOfStartWhileRunning(int featureID, const std::function<void()>& start);

struct StopStorm {
  int featureID = 0;
  int runs = 15;
  std::chrono::microseconds longestDelay{3000};
  uint32_t seed = 1;
  // Starts one scan whose end calls done.notify().
  std::function<void(Signal& done)> start;
  std::function<void()> stop;
  // Runs after each run's done: waits for the scan's queues and checks what
  // the run left. May be empty.
  std::function<void()> settle;
};

// Runs the scans one after another, stopping each after a random delay unless
// it ended first, and checks that every run ends with exactly one done and the
// feature at `end`. Returns how many runs were stopped mid-way.
int runStopStorm(const StopStorm& storm);

}  // namespace orvexa::testing
