#include "orvexa/units/main_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/shared_checks.h"

namespace orvexa {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::waitFor;

// A timer invalidated from its own tick is PercentService's stop (its
// concurrency test).
TEST(MainQueueConcurrencyTest, AsyncRunsInOrderOnTheMainThreadAndSyncThereInline) {
  EXPECT_FALSE(MainQueue::isMainThread());
  std::vector<int> order, expected;  // `order` touched only on the main-queue thread
  std::atomic<int> offThread{0};
  for (int i = 0; i < 200; ++i) {
    expected.push_back(i);
    MainQueue::async([&order, &offThread, i] {
      if (!MainQueue::isMainThread()) offThread.fetch_add(1);
      order.push_back(i);
    });
  }
  bool ranInline = false;
  MainQueue::async([&] { MainQueue::sync([&] { ranInline = MainQueue::isMainThread(); }); });
  MainQueue::sync([] {});  // barrier
  EXPECT_EQ(order, expected);
  EXPECT_EQ(offThread.load(), 0);
  EXPECT_TRUE(ranInline);
}

// Ticks run on the main thread, never beside a queued function; ticks missed
// while one runs are skipped, not bunched up; none comes after invalidate.
TEST(MainQueueConcurrencyTest, RepeatingTimerTicksBetweenFunctionsUntilInvalidated) {
  struct Ticks {
    std::atomic<int> count{0}, offThread{0};
    std::atomic<bool> busy{false}, overlapped{false};
  };
  auto ticks = std::make_shared<Ticks>();
  const auto start = Clock::now();
  MainQueue::TimerHandle timer = MainQueue::addRepeatingTimer(20ms, [ticks] {
    if (!MainQueue::isMainThread()) ++ticks->offThread;
    if (ticks->busy) ticks->overlapped = true;
    ++ticks->count;
  });
  ASSERT_NE(timer, MainQueue::kNoTimer);
  ASSERT_TRUE(waitFor([&] { return ticks->count >= 5; }));
  EXPECT_GE(Clock::now() - start, 95ms) << "five ticks of 20 ms";
  MainQueue::sync([ticks] {
    ticks->busy = true;
    std::this_thread::sleep_for(120ms);
    ticks->busy = false;
  });
  const int afterBusy = ticks->count;
  const auto idleStart = Clock::now();
  std::this_thread::sleep_for(30ms);
  // A loaded machine may oversleep; only ticks beyond the interval's pace count.
  const auto idle = (Clock::now() - idleStart) / 20ms;
  EXPECT_LE(ticks->count - afterBusy, idle + 3) << "six missed ticks must not arrive as a burst";
  MainQueue::invalidate(timer);
  MainQueue::sync([] {});  // no tick is running now
  const int afterInvalidate = ticks->count;
  std::this_thread::sleep_for(80ms);
  EXPECT_EQ(ticks->count, afterInvalidate);
  EXPECT_EQ(ticks->offThread, 0);
  EXPECT_FALSE(ticks->overlapped);
  MainQueue::invalidate(timer);  // a second time is harmless
}

}  // namespace
}  // namespace orvexa
