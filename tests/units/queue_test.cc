#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
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

constexpr auto kQoS = SerialGCDService::GCDQOS::default_;

TEST(SerialQueueConcurrencyTest, ProducersKeepTheirOrderAndPiecesNeverOverlap) {
  constexpr int kProducers = 8;
  constexpr int kPieces = 200;
  SerialGCDService queue(kQoS);
  // Touched only by pieces of `queue`, which never overlap.
  std::vector<std::vector<int>> seen(kProducers);
  std::atomic<int> inFlight{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> errors{0};

  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPieces; ++i) {
        auto piece = [&, p, i] {
          if (inFlight.fetch_add(1) != 0) overlaps.fetch_add(1);
          seen[static_cast<size_t>(p)].push_back(i);
          inFlight.fetch_sub(1);
        };
        auto onError = [&](THREADRUNERROR) { errors.fetch_add(1); };
        // Both entry points feed the same FIFO.
        if (i % 2 == 0) {
          queue.run(piece, onError);
        } else {
          queue.runDeferred(piece, onError);
        }
      }
    });
  }
  for (auto& t : producers) t.join();
  ASSERT_TRUE(queue.waitUntilIdle());

  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(errors.load(), 0);
  for (int p = 0; p < kProducers; ++p) {
    SCOPED_TRACE("producer " + std::to_string(p));
    const auto& got = seen[static_cast<size_t>(p)];
    ASSERT_EQ(got.size(), static_cast<size_t>(kPieces));
    for (int i = 0; i < kPieces; ++i) ASSERT_EQ(got[static_cast<size_t>(i)], i);
  }
}

TEST(SerialQueueConcurrencyTest, HandOffFromInsideAPieceRunsAfterIt) {
  SerialGCDService queue(kQoS);
  std::vector<std::string> order;  // touched only by pieces
  std::promise<void> innerDone;
  std::atomic<int> errors{0};
  bool syncRan = true;
  THREADRUNERROR syncError = THREADRUNERROR::cancelled;
  bool waitedInside = true;
  bool currentInside = false;

  queue.run(
      [&] {
        order.push_back("outer start");
        currentInside = queue.isCurrent();
        queue.run([&] { order.push_back("inner run"); }, [&](THREADRUNERROR) { ++errors; });
        queue.runDeferred(
            [&] {
              order.push_back("inner deferred");
              innerDone.set_value();
            },
            [&](THREADRUNERROR) { ++errors; });
        // Waiting here would never end: reported, not blocked.
        syncRan =
            queue.sync([&] { order.push_back("never"); }, [&](THREADRUNERROR e) { syncError = e; });
        waitedInside = queue.waitUntilIdle();
        order.push_back("outer end");
      },
      [&](THREADRUNERROR) { ++errors; });

  ASSERT_EQ(innerDone.get_future().wait_for(10s), std::future_status::ready);
  ASSERT_TRUE(queue.waitUntilIdle());
  EXPECT_EQ(order,
            (std::vector<std::string>{"outer start", "outer end", "inner run", "inner deferred"}));
  EXPECT_EQ(errors.load(), 0);
  EXPECT_TRUE(currentInside);
  EXPECT_FALSE(queue.isCurrent());
  EXPECT_FALSE(syncRan);
  EXPECT_EQ(syncError, THREADRUNERROR::wouldDeadlock);
  EXPECT_FALSE(waitedInside);
}

TEST(SerialQueueConcurrencyTest, SyncWaitsForEarlierWorkAndItsOwn) {
  SerialGCDService queue(kQoS);
  std::vector<int> order;  // touched only by pieces, read after sync
  for (int i = 0; i < 100; ++i) {
    queue.runDeferred([&order, i] { order.push_back(i); }, nullptr);
  }
  bool ran = queue.sync([&] { order.push_back(100); }, nullptr);
  EXPECT_TRUE(ran);
  ASSERT_EQ(order.size(), 101u);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
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
  std::atomic<int> errors{0};
  queue->run([shared] { shared->release.count_down(); }, [&](THREADRUNERROR) { ++errors; });

  EXPECT_TRUE(waitFor([&] { return shared->finished.load() == blockers; }))
      << "finished " << shared->finished.load() << " of " << blockers;
  EXPECT_EQ(errors.load(), 0);
  EXPECT_GT(dispatchGlobalThreadCount(), dispatchGlobalCoreThreads());
  if (shared->finished.load() != blockers) shared->release.count_down();  // let them go
  queue->waitUntilIdle();
}

TEST(SerialQueueConcurrencyTest, DestroyedQueueRunsOrCancelsEveryPieceNeverBoth) {
  constexpr size_t kPending = 50;
  struct Record {
    std::atomic<int> ran{0};
    std::atomic<int> failed{0};
    std::atomic<int> lastError{-1};
  };
  auto records = std::make_shared<std::vector<Record>>(kPending + 1);
  auto gate = std::make_shared<std::latch>(1);
  std::promise<void> started;

  auto queue = std::make_unique<SerialGCDService>(kQoS);
  auto onErrorFor = [records](size_t i) {
    return [records, i](THREADRUNERROR e) {
      (*records)[i].failed.fetch_add(1);
      (*records)[i].lastError.store(static_cast<int>(e));
    };
  };
  queue->run(
      [records, gate, &started] {
        started.set_value();
        gate->wait();
        (*records)[0].ran.fetch_add(1);
      },
      onErrorFor(0));
  for (size_t i = 1; i <= kPending; ++i) {
    queue->runDeferred([records, i] { (*records)[i].ran.fetch_add(1); }, onErrorFor(i));
  }
  started.get_future().wait();
  queue.reset();  // does not wait for the blocked piece
  gate->count_down();

  ASSERT_TRUE(waitFor([&] {
    for (auto& r : *records) {
      if (r.ran.load() + r.failed.load() == 0) return false;
    }
    return true;
  }));
  EXPECT_EQ((*records)[0].ran.load(), 1) << "the running piece finishes";
  EXPECT_EQ((*records)[0].failed.load(), 0);
  for (size_t i = 1; i <= kPending; ++i) {
    SCOPED_TRACE("piece " + std::to_string(i));
    EXPECT_EQ((*records)[i].ran.load(), 0);
    EXPECT_EQ((*records)[i].failed.load(), 1);
    EXPECT_EQ((*records)[i].lastError.load(), static_cast<int>(THREADRUNERROR::cancelled));
  }
}

TEST(SerialQueueConcurrencyTest, ReleasingTheLastOwnerFromInsideItsOwnWork) {
  struct Holder {
    std::shared_ptr<SerialGCDService> queue;
  };
  auto holder = std::make_shared<Holder>();
  holder->queue = std::make_shared<SerialGCDService>(kQoS);
  std::atomic<int> laterRan{0};
  std::promise<THREADRUNERROR> laterError;

  auto gate = std::make_shared<std::latch>(1);
  auto* queue = holder->queue.get();
  queue->run(
      [holder, gate] {
        gate->wait();
        holder->queue.reset();
      },
      nullptr);
  queue->runDeferred([&] { laterRan.fetch_add(1); },
                     [&](THREADRUNERROR e) { laterError.set_value(e); });
  gate->count_down();
  // `queue` may be gone from here on.

  auto future = laterError.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(future.get(), THREADRUNERROR::cancelled);
  EXPECT_EQ(laterRan.load(), 0);
}

TEST(SerialQueueTest, EmptyWorkIsNothingToDo) {
  SerialGCDService queue(kQoS);
  std::vector<THREADRUNERROR> errors;  // reported on this thread
  queue.run(nullptr, [&](THREADRUNERROR e) { errors.push_back(e); });
  queue.runDeferred({}, [&](THREADRUNERROR e) { errors.push_back(e); });
  EXPECT_FALSE(queue.sync(nullptr, [&](THREADRUNERROR e) { errors.push_back(e); }));
  EXPECT_EQ(errors, std::vector<THREADRUNERROR>(3, THREADRUNERROR::cancelled));
}

TEST(SerialQueueTest, AThrowingPieceCountsAsRunAndTheQueueGoesOn) {
  SerialGCDService queue(kQoS);
  std::vector<std::string> events;  // touched only by pieces and handlers on the queue
  queue.run([] { throw std::runtime_error("boom"); },
            [&](THREADRUNERROR) { events.push_back("error"); });
  queue.run([&] { events.push_back("next"); }, [&](THREADRUNERROR) { events.push_back("error"); });
  ASSERT_TRUE(queue.waitUntilIdle());
  EXPECT_EQ(events, std::vector<std::string>{"next"});
}

}  // namespace
}  // namespace orvexa
