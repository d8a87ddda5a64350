#include "orvexa/units/main_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace orvexa {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(MainQueueConcurrencyTest, AsyncRunsInOrderOnTheMainThread) {
  EXPECT_FALSE(MainQueue::isMainThread());
  std::vector<int> order;  // touched only on the main-queue thread
  std::atomic<int> offThread{0};
  // Functions from one sender run in the order handed in.
  for (int i = 0; i < 200; ++i) {
    MainQueue::async([&order, &offThread, i] {
      if (!MainQueue::isMainThread()) offThread.fetch_add(1);
      order.push_back(i);
    });
  }
  MainQueue::sync([] {});  // barrier
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_EQ(offThread.load(), 0);
}

TEST(MainQueueConcurrencyTest, SyncFromTheMainThreadRunsInline) {
  std::promise<bool> result;
  MainQueue::async([&] {
    bool ranInline = false;
    MainQueue::sync([&] { ranInline = MainQueue::isMainThread(); });
    result.set_value(ranInline);
  });
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(future.get());
}

TEST(MainQueueConcurrencyTest, RepeatingTimerTicksOnTheMainThreadUntilInvalidated) {
  struct Ticks {
    std::atomic<int> count{0};
    std::atomic<int> offThread{0};
  };
  auto ticks = std::make_shared<Ticks>();
  const auto start = Clock::now();
  MainQueue::TimerHandle timer = MainQueue::addRepeatingTimer(20ms, [ticks] {
    if (!MainQueue::isMainThread()) ticks->offThread.fetch_add(1);
    ticks->count.fetch_add(1);
  });
  ASSERT_NE(timer, MainQueue::kNoTimer);
  while (ticks->count.load() < 5 && Clock::now() - start < 5s) std::this_thread::sleep_for(2ms);
  const auto elapsed = Clock::now() - start;
  MainQueue::invalidate(timer);
  MainQueue::sync([] {});  // no tick is running now
  const int afterInvalidate = ticks->count.load();

  EXPECT_GE(afterInvalidate, 5);
  // Five ticks of 20 ms cannot come sooner than 100 ms.
  EXPECT_GE(elapsed, 95ms);
  EXPECT_EQ(ticks->offThread.load(), 0);
  std::this_thread::sleep_for(80ms);
  EXPECT_EQ(ticks->count.load(), afterInvalidate);
  MainQueue::invalidate(timer);  // a second time is harmless
}

TEST(MainQueueConcurrencyTest, TimerInvalidatedFromItsOwnTickStops) {
  auto count = std::make_shared<std::atomic<int>>(0);
  auto handle = std::make_shared<std::atomic<MainQueue::TimerHandle>>(MainQueue::kNoTimer);
  // The timer is created on the main thread, so its first tick cannot run
  // before the handle is stored.
  MainQueue::sync([&] {
    handle->store(MainQueue::addRepeatingTimer(10ms, [count, handle] {
      if (count->fetch_add(1) == 2) MainQueue::invalidate(handle->load());
    }));
  });
  const auto start = Clock::now();
  while (count->load() < 3 && Clock::now() - start < 5s) std::this_thread::sleep_for(2ms);
  std::this_thread::sleep_for(60ms);
  MainQueue::sync([] {});
  EXPECT_EQ(count->load(), 3);
}

TEST(MainQueueConcurrencyTest, QueuedFunctionsAndTimersShareTheOneThread) {
  // A long function delays ticks instead of running beside them; missed ticks
  // are skipped, not bunched up.
  auto ticks = std::make_shared<std::atomic<int>>(0);
  auto inFunction = std::make_shared<std::atomic<bool>>(false);
  auto overlapped = std::make_shared<std::atomic<bool>>(false);
  auto timer = MainQueue::addRepeatingTimer(5ms, [ticks, inFunction, overlapped] {
    if (inFunction->load()) overlapped->store(true);
    ticks->fetch_add(1);
  });
  MainQueue::sync([inFunction] {
    inFunction->store(true);
    std::this_thread::sleep_for(60ms);
    inFunction->store(false);
  });
  const int afterBusy = ticks->load();
  std::this_thread::sleep_for(12ms);
  MainQueue::invalidate(timer);
  MainQueue::sync([] {});
  EXPECT_FALSE(overlapped->load());
  // About 60 ms of missed 5 ms ticks must not arrive as a burst afterwards.
  EXPECT_LE(ticks->load() - afterBusy, 4);
}

}  // namespace
}  // namespace orvexa
