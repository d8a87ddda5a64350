#include "orvexa/units/serial_queue.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <utility>

#include "orvexa/units/dispatch.h"

namespace orvexa {

using JThreadSatefy::THREADRUNERROR;

namespace {

// A drain pass hands its pool thread back after this many pieces, so that a
// busy queue does not hold one worker forever while other work waits.
constexpr int kPiecesPerPass = 64;

// The queue whose piece this thread is running, if any.
thread_local const void* tCurrentQueue = nullptr;

void report(const SerialGCDService::ErrorHandler& handler, THREADRUNERROR error) {
  if (!handler) return;
  try {
    handler(error);
  } catch (...) {
    // Handlers have nobody to report to either.
  }
}

// A lane number out of range (a host's cast) is clamped.
DispatchQoS laneOf(DispatchQoS qos) {
  auto index = std::min(static_cast<int>(qos), static_cast<int>(DispatchQoS::background));
  return static_cast<DispatchQoS>(std::max(index, 0));
}

}  // namespace

struct SerialGCDService::State {
  struct Item {
    Work work;
    ErrorHandler handler;
  };

  explicit State(DispatchQoS l) : lane(l) {}

  const DispatchQoS lane;
  std::mutex mu;
  std::condition_variable idleCv;
  std::deque<Item> items;
  bool draining = false;  // a drain pass is scheduled or running
  bool shutDown = false;  // the owning SerialGCDService is gone

  static void enqueue(const std::shared_ptr<State>& self, Work work, ErrorHandler handler) {
    if (!work) {
      report(handler, THREADRUNERROR::cancelled);
      return;
    }
    Item item{std::move(work), std::move(handler)};
    bool stored = false;
    bool schedule = false;
    {
      std::lock_guard lock(self->mu);
      try {
        self->items.push_back(std::move(item));
        stored = true;
      } catch (const std::bad_alloc&) {
        // push_back gives the strong guarantee: item is still ours.
      }
      if (stored && !self->draining) {
        self->draining = true;
        schedule = true;
      }
    }
    if (!stored) {
      report(item.handler, THREADRUNERROR::outOfMemory);
      return;
    }
    if (schedule) startPass(self);
  }

  static void startPass(const std::shared_ptr<State>& self) {
    if (dispatchGlobal(self->lane, [self] { drain(self); })) return;
    // No pool thread at all: nothing queued here can ever run.
    std::deque<Item> failed;
    {
      std::lock_guard lock(self->mu);
      failed.swap(self->items);
      self->draining = false;
    }
    self->idleCv.notify_all();
    for (auto& item : failed) report(item.handler, THREADRUNERROR::threadUnavailable);
  }

  static void drain(const std::shared_ptr<State>& self) {
    const void* outer = tCurrentQueue;
    tCurrentQueue = self.get();
    int pieces = 0;
    for (;;) {
      Item item;
      bool cancelled = false;
      {
        std::unique_lock lock(self->mu);
        if (self->items.empty()) {
          self->draining = false;
          lock.unlock();
          self->idleCv.notify_all();
          break;
        }
        if (pieces == kPiecesPerPass) {
          pieces = 0;
          lock.unlock();
          // `draining` stays set: the next pass owns the queue now.
          if (dispatchGlobal(self->lane, [self] { drain(self); })) break;
          continue;  // the pool refused; keep draining on this thread
        }
        item = std::move(self->items.front());
        self->items.pop_front();
        cancelled = self->shutDown;
      }
      ++pieces;
      if (cancelled) {
        report(item.handler, THREADRUNERROR::cancelled);
      } else {
        try {
          item.work();
        } catch (...) {
          // Documented: the piece counts as run.
        }
      }
    }
    tCurrentQueue = outer;
  }
};

SerialGCDService::SerialGCDService(GCDQOS qos)
    : qos_(qos), state_(std::make_shared<State>(laneOf(qos))) {}

SerialGCDService::~SerialGCDService() {
  std::lock_guard lock(state_->mu);
  state_->shutDown = true;
}

void SerialGCDService::run(Work work, ErrorHandler errorHandler) {
  State::enqueue(state_, std::move(work), std::move(errorHandler));
}

void SerialGCDService::runDeferred(Work work, ErrorHandler errorHandler) {
  State::enqueue(state_, std::move(work), std::move(errorHandler));
}

bool SerialGCDService::sync(Work work, ErrorHandler errorHandler) {
  if (!work) {
    report(errorHandler, THREADRUNERROR::cancelled);
    return false;
  }
  if (isCurrent()) {
    report(errorHandler, THREADRUNERROR::wouldDeadlock);
    return false;
  }
  struct Outcome {
    std::mutex mu;
    std::condition_variable cv;
    bool finished = false;
    bool ran = false;
  };
  auto outcome = std::make_shared<Outcome>();
  auto finish = [outcome](bool ran) {
    {
      std::lock_guard lock(outcome->mu);
      outcome->finished = true;
      outcome->ran = ran;
    }
    outcome->cv.notify_all();
  };
  State::enqueue(
      state_,
      [work = std::move(work), finish] {
        try {
          work();
        } catch (...) {
        }
        finish(true);
      },
      [handler = std::move(errorHandler), finish](THREADRUNERROR error) {
        report(handler, error);
        finish(false);
      });
  std::unique_lock lock(outcome->mu);
  outcome->cv.wait(lock, [&] { return outcome->finished; });
  return outcome->ran;
}

bool SerialGCDService::waitUntilIdle() {
  if (isCurrent()) return false;
  std::unique_lock lock(state_->mu);
  state_->idleCv.wait(lock, [this] { return !state_->draining; });
  return true;
}

bool SerialGCDService::isCurrent() const { return tCurrentQueue == state_.get(); }

}  // namespace orvexa
