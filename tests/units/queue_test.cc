#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "orvexa/units/dispatch.h"
#include "orvexa/units/main_queue.h"
#include "orvexa/units/percent_service.h"
#include "orvexa/units/serial_queue.h"
#include "support/shared_checks.h"

namespace orvexa {
namespace {

using JThreadSatefy::THREADRUNERROR;
using testing::waitFor;
using namespace std::chrono_literals;
using Errors = std::vector<THREADRUNERROR>;
using Clock = std::chrono::steady_clock;

constexpr auto kQoS = SerialGCDService::GCDQOS::default_;

// run and runDeferred feed one FIFO; sync waits for all earlier work.
TEST(SerialQueueConcurrencyTest, ProducersKeepTheirOrderHandOffsRunAfterAndEmptyWorkIsCancelled) {
  constexpr int kProducers = 8;
  constexpr int kPieces = 200;
  SerialGCDService queue(kQoS);
  std::vector<std::vector<int>> seen(kProducers);  // touched only by pieces
  std::atomic<int> inFlight{0}, overlaps{0}, errors{0};
  std::vector<std::thread> producers;
  for (size_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPieces; ++i) {
        auto piece = [&, p, i] {
          if (inFlight.fetch_add(1) != 0) overlaps.fetch_add(1);
          seen[p].push_back(i);
          inFlight.fetch_sub(1);
        };
        auto onError = [&](THREADRUNERROR) { errors.fetch_add(1); };
        i % 2 ? queue.runDeferred(piece, onError) : queue.run(piece, onError);
      }
    });
  }
  for (auto& t : producers) t.join();
  std::vector<int> expected(kPieces);
  for (int i = 0; i < kPieces; ++i) expected[static_cast<size_t>(i)] = i;
  std::vector<std::vector<int>> atSync;
  EXPECT_TRUE(queue.sync([&] { atSync = seen; }, nullptr));
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(errors.load(), 0);
  EXPECT_EQ(atSync, std::vector<std::vector<int>>(kProducers, expected));

  // Work handed in from inside a piece runs after it; waiting there would never
  // end, so sync and waitUntilIdle refuse instead of blocking.
  std::vector<std::string> order;  // touched only by pieces, read after waitUntilIdle
  Errors refusals;                 // the same
  auto onError = [&](THREADRUNERROR e) { refusals.push_back(e); };
  queue.run(
      [&] {
        order.push_back(queue.isCurrent() ? "outer start" : "outer start, not current");
        queue.run([&] { order.push_back("inner run"); }, onError);
        queue.runDeferred([&] { order.push_back("inner deferred"); }, onError);
        if (queue.sync([&] { order.push_back("never"); }, onError)) order.push_back("sync ran");
        if (queue.waitUntilIdle()) order.push_back("waited");
        order.push_back("outer end");
      },
      onError);
  ASSERT_TRUE(queue.waitUntilIdle());
  EXPECT_EQ(order,
            (std::vector<std::string>{"outer start", "outer end", "inner run", "inner deferred"}));
  EXPECT_EQ(refusals, Errors{THREADRUNERROR::wouldDeadlock});
  EXPECT_FALSE(queue.isCurrent());

  // Empty work is cancelled at once; a throwing piece counts as run.
  std::vector<std::string> events;  // on this thread, then only on the queue
  auto onEvent = [&](THREADRUNERROR e) { events.push_back(std::to_string(static_cast<int>(e))); };
  queue.run(nullptr, onEvent);
  queue.runDeferred({}, onEvent);
  EXPECT_FALSE(queue.sync(nullptr, onEvent));
  queue.run([] { throw std::runtime_error("boom"); }, onEvent);
  queue.run([&] { events.push_back("next"); }, onEvent);
  ASSERT_TRUE(queue.waitUntilIdle());
  EXPECT_EQ(events, (std::vector<std::string>{"4", "4", "4", "next"}));
}

TEST(SerialQueueConcurrencyTest, SaturatedPoolStillDrains) {
  // More blocked pieces than core workers; the piece that releases them comes
  // last, through a serial queue, so only pool growth can run it.
  struct Shared {
    std::latch release{1};
    std::atomic<size_t> finished{0};
  };
  auto shared = std::make_shared<Shared>();
  const size_t blockers = dispatchGlobalCoreThreads() + 3;
  for (size_t i = 0; i < blockers; ++i) {
    ASSERT_TRUE(dispatchGlobal(DispatchQoS::default_, [shared] {
      shared->release.wait();
      shared->finished.fetch_add(1);
    }));
  }
  auto queue = std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::utility);
  queue->run([shared] { shared->release.count_down(); }, nullptr);
  EXPECT_TRUE(waitFor([&] { return shared->finished.load() == blockers; }))
      << "finished " << shared->finished.load() << " of " << blockers;
  EXPECT_GT(dispatchGlobalThreadCount(), dispatchGlobalCoreThreads());
  if (shared->finished.load() != blockers) shared->release.count_down();  // let them go
  queue->waitUntilIdle();
}

// Destruction does not wait: the running piece finishes, every pending one
// is cancelled, none both.
TEST(SerialQueueConcurrencyTest, DestroyedOrReleasedFromItsOwnWorkTheQueueRunsOrCancelsEachPiece) {
  constexpr size_t kPending = 50;
  // Per piece: 1 for a run, 10 for a cancellation, 100 for another error; each
  // must end at exactly one of them.
  auto counts = std::make_shared<std::vector<std::atomic<int>>>(kPending + 1);
  auto gate = std::make_shared<std::latch>(1);
  std::promise<void> started;
  auto queue = std::make_unique<SerialGCDService>(kQoS);
  auto onErrorFor = [counts](size_t i) {
    return [counts, i](THREADRUNERROR e) {
      (*counts)[i] += e == THREADRUNERROR::cancelled ? 10 : 100;
    };
  };
  queue->run(
      [counts, gate, &started] {
        started.set_value();
        gate->wait();
        ++(*counts)[0];
      },
      onErrorFor(0));
  for (size_t i = 1; i <= kPending; ++i)
    queue->runDeferred([counts, i] { ++(*counts)[i]; }, onErrorFor(i));
  started.get_future().wait();
  queue.reset();
  gate->count_down();
  auto all = [&] {
    std::vector<int> v;
    for (auto& c : *counts) v.push_back(c.load());
    return v;
  };
  std::vector<int> expected(kPending + 1, 10);
  expected[0] = 1;  // the running piece finishes
  EXPECT_TRUE(waitFor([&] { return all() == expected; }));
  EXPECT_EQ(all(), expected);

  // The last owner released from inside the queue's own work: what is
  // pending is cancelled, not run.
  auto holder =
      std::make_shared<std::shared_ptr<SerialGCDService>>(std::make_shared<SerialGCDService>(kQoS));
  std::atomic<int> laterRan{0};
  std::promise<THREADRUNERROR> laterError;
  auto release = std::make_shared<std::latch>(1);
  SerialGCDService* last = holder->get();
  last->run(
      [holder, release] {
        release->wait();
        holder->reset();
      },
      nullptr);
  last->runDeferred([&] { ++laterRan; }, [&](THREADRUNERROR e) { laterError.set_value(e); });
  release->count_down();  // `last` may be gone from here on
  auto future = laterError.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(future.get(), THREADRUNERROR::cancelled);
  EXPECT_EQ(laterRan.load(), 0);
}

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

TEST(PercentServiceConcurrencyTest, TicksEdgeCasesAndTicksOnTheMainThreadNoneAfterTheEnd) {
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

  // However the ticking ends (all steps done, from several threads at once; the
  // engine's stop from another thread; the service destroyed, shared or not),
  // ticks run on the main thread and none comes after the end.
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
    ASSERT_TRUE(waitFor([&] { return !reports.snapshot().empty(); })) << "a first tick";
    if (end == "all steps done") {
      std::vector<std::thread> threads;
      for (int t = 0; t < 4; ++t) {
        threads.emplace_back([percent] {
          for (int i = 0; i < 125; ++i) percent->progressStep();
        });
      }
      for (auto& t : threads) t.join();
      EXPECT_TRUE(waitFor([percent] { return !percent->isRunning(); }))
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
TEST(MainQueueConcurrencyTest, AsyncRunsInOrderOnTheMainThreadAndTimersTickBetweenFunctions) {
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

  // Ticks run on the main thread, never beside a queued function; ticks missed
  // while one runs are skipped, not bunched up; none comes after invalidate.
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
