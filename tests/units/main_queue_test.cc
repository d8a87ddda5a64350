#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "orvexa/units/main_queue.h"
#include "orvexa/units/percent_service.h"
#include "support/shared_checks.h"

namespace orvexa {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Collects what progressFunc receives; safe from any thread.
struct Reports {
  std::mutex mu;
  std::vector<float> values;
  std::atomic<int> offMainThread{0};

  PercentService::ProgressFunc func() {
    return [this](float value) {
      std::lock_guard lock(mu);
      values.push_back(value);
      if (!MainQueue::isMainThread()) ++offMainThread;
    };
  }
  std::vector<float> snapshot() {
    std::lock_guard lock(mu);
    return values;
  }
};

TEST(PercentServiceTest, TicksAndEdgeCases) {
  // Rows: name, total steps, steps done, increase, ticks, what progressFunc receives.
  const std::tuple<const char*, int64_t, int, float, int, std::vector<float>> cases[] = {
      {"ticks climb by the increment up to the steps done", 2, 1, 0.5f, 3, {0.25f, 0.5f}},
      {"no steps at all finishes at once", 0, 0, 0.2f, 1, {1.0f}},
      {"nothing finished reports nothing", 3, 0, 0.2f, 3, {}},
      {"each later tick on a finished task reports 1 again", 1, 1, 0.2f, 2, {1.0f, 1.0f}},
      {"stepped past the total never stops by itself", 2, 3, 1.0f, 4, {0.5f, 1.0f, 1.5f}},
  };
  for (const auto& [name, totalStep, steps, increase, ticks, expected] : cases) {
    SCOPED_TRACE(name);
    Reports reports;
    PercentService percent(reports.func(), totalStep, increase);
    for (int i = 0; i < steps; ++i) percent.progressStep();
    for (int i = 0; i < ticks; ++i) percent.updatePercent();
    EXPECT_EQ(reports.snapshot(), expected);
  }
}

// However the ticking ends (all steps done, from several threads at once; the
// engine's stop from another thread; the service destroyed, shared or not),
// ticks run on the main thread and none comes after the end.
TEST(PercentServiceConcurrencyTest, TicksRunOnTheMainThreadAndNoneAfterTheEnd) {
  for (const std::string end : {"all steps done", "stop", "destroy shared", "destroy plain"}) {
    SCOPED_TRACE(end);
    Reports reports;
    auto shared = std::make_shared<PercentService>(reports.func(), 1000, 0.2f);
    // Not owned by a shared_ptr: its timer holds the object itself.
    std::optional<PercentService> plain;
    PercentService* percent = shared.get();
    if (end == "destroy plain") percent = &plain.emplace(reports.func(), 1000, 0.2f);
    for (int i = 0; i < 500; ++i) percent->progressStep();
    percent->startTime();
    EXPECT_TRUE(percent->isRunning());
    ASSERT_TRUE(testing::waitFor([&] { return !reports.snapshot().empty(); })) << "a first tick";
    if (end == "all steps done") {
      std::vector<std::thread> threads;
      for (int t = 0; t < 4; ++t) {
        threads.emplace_back([percent] {
          for (int i = 0; i < 125; ++i) percent->progressStep();
        });
      }
      for (auto& t : threads) t.join();
      EXPECT_TRUE(testing::waitFor([percent] { return !percent->isRunning(); }))
          << "the tick that saw all steps stops the timer";
    } else if (end == "stop") {
      percent->stopTime();  // the engine's stop, off the main thread
      EXPECT_FALSE(percent->isRunning());
      percent->stopTime();  // reports 1 again
    } else {
      shared.reset();
      plain.reset();
    }
    MainQueue::sync([] {});
    const auto values = reports.snapshot();
    ASSERT_GE(values.size(), end == "stop" ? 3u : 1u) << "at least one tick before the end";
    EXPECT_EQ(values.front(), 0.2f / 1000) << "one increment of 0.2 over 1000 steps";
    EXPECT_TRUE(end != "stop" || values[values.size() - 2] == 1.0f) << "stop reports 1 each time";
    EXPECT_EQ(values.back() == 1.0f, end == "stop" || end == "all steps done");
    EXPECT_EQ(reports.offMainThread, end == "stop" ? 2 : 0);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(reports.snapshot().size(), values.size()) << "no tick after the end";
  }
}

// A timer invalidated from its own tick is PercentService's stop (below).
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
  ASSERT_TRUE(testing::waitFor([&] { return ticks->count >= 5; }));
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
