#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "orvexa/units/dispatch.h"
#include "orvexa/units/serial_queue.h"
#include "support/shared_checks.h"

namespace orvexa {
namespace {

using JThreadSatefy::THREADRUNERROR;
using testing::waitFor;
using namespace std::chrono_literals;
using Errors = std::vector<THREADRUNERROR>;

constexpr auto kQoS = SerialGCDService::GCDQOS::default_;

// run and runDeferred feed one FIFO; sync waits for all earlier work.
TEST(SerialQueueConcurrencyTest, ProducersKeepTheirOrderAndPiecesNeverOverlap) {
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
}

// Work handed in from inside a piece runs after it; waiting there would never
// end, so sync and waitUntilIdle refuse instead of blocking.
TEST(SerialQueueConcurrencyTest, HandOffFromInsideAPieceRunsAfterIt) {
  SerialGCDService queue(kQoS);
  std::vector<std::string> order;  // touched only by pieces, read after waitUntilIdle
  Errors errors;                   // the same
  auto onError = [&](THREADRUNERROR e) { errors.push_back(e); };
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
  EXPECT_EQ(errors, Errors{THREADRUNERROR::wouldDeadlock});
  EXPECT_FALSE(queue.isCurrent());
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
TEST(SerialQueueConcurrencyTest, DestroyedQueueRunsOrCancelsEveryPieceNeverBoth) {
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
}

TEST(SerialQueueConcurrencyTest, ReleasingTheLastOwnerFromInsideItsOwnWork) {
  auto holder =
      std::make_shared<std::shared_ptr<SerialGCDService>>(std::make_shared<SerialGCDService>(kQoS));
  std::atomic<int> laterRan{0};
  std::promise<THREADRUNERROR> laterError;
  auto gate = std::make_shared<std::latch>(1);
  SerialGCDService* queue = holder->get();
  queue->run(
      [holder, gate] {
        gate->wait();
        holder->reset();
      },
      nullptr);
  queue->runDeferred([&] { ++laterRan; }, [&](THREADRUNERROR e) { laterError.set_value(e); });
  gate->count_down();  // `queue` may be gone from here on
  auto future = laterError.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(future.get(), THREADRUNERROR::cancelled);
  EXPECT_EQ(laterRan.load(), 0);
}

// Empty work is cancelled at once; a throwing piece counts as run.
TEST(SerialQueueTest, EmptyOrThrowingWork) {
  SerialGCDService queue(kQoS);
  std::vector<std::string> events;  // on this thread, then only on the queue
  auto onError = [&](THREADRUNERROR e) { events.push_back(std::to_string(static_cast<int>(e))); };
  queue.run(nullptr, onError);
  queue.runDeferred({}, onError);
  EXPECT_FALSE(queue.sync(nullptr, onError));
  queue.run([] { throw std::runtime_error("boom"); }, onError);
  queue.run([&] { events.push_back("next"); }, onError);
  ASSERT_TRUE(queue.waitUntilIdle());
  EXPECT_EQ(events, (std::vector<std::string>{"4", "4", "4", "next"}));
}

}  // namespace
}  // namespace orvexa
