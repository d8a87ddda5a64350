#include "orvexa/units/main_queue.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace orvexa {
namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
  Clock::duration interval;
  Clock::time_point next;
  // Shared so that a tick in progress keeps its function alive when the timer
  // is invalidated meanwhile.
  std::shared_ptr<std::function<void()>> fn;
};

class Loop {
 public:
  static Loop& instance() {
    // Never destroyed: the thread runs until the process exits.
    static Loop* loop = new Loop;
    return *loop;
  }

  void async(std::function<void()> fn) {
    if (!fn) return;
    {
      std::lock_guard lock(mu_);
      tasks_.push_back(std::move(fn));
    }
    cv_.notify_one();
  }

  bool isLoopThread() const { return std::this_thread::get_id() == threadId_; }

  MainQueue::TimerHandle addTimer(Clock::duration interval, std::function<void()> fn) {
    if (!fn) return MainQueue::kNoTimer;
    if (interval <= Clock::duration::zero()) interval = std::chrono::milliseconds(1);
    MainQueue::TimerHandle handle;
    {
      std::lock_guard lock(mu_);
      handle = ++lastHandle_;
      timers_.emplace(handle, Timer{interval, Clock::now() + interval,
                                    std::make_shared<std::function<void()>>(std::move(fn))});
    }
    cv_.notify_one();
    return handle;
  }

  void invalidate(MainQueue::TimerHandle handle) {
    std::shared_ptr<std::function<void()>> released;
    {
      std::lock_guard lock(mu_);
      auto it = timers_.find(handle);
      if (it == timers_.end()) return;
      released = std::move(it->second.fn);
      timers_.erase(it);
    }
    // `released` may hold the last reference to the function: destroyed here,
    // outside the lock.
  }

 private:
  Loop() {
    // The loop takes mu_ first, so it sees threadId_.
    std::lock_guard lock(mu_);
    std::thread worker([this] { runLoop(); });
    threadId_ = worker.get_id();
    worker.detach();
  }

  static void call(const std::function<void()>& fn) {
    try {
      fn();
    } catch (...) {
      // Nobody to report to; the loop must survive.
    }
  }

  void runLoop() {
    std::unique_lock lock(mu_);
    for (;;) {
      if (!tasks_.empty()) {
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        call(task);
        task = nullptr;
        lock.lock();
        continue;
      }
      std::optional<Clock::time_point> earliest;
      for (const auto& [handle, timer] : timers_) {
        if (!earliest || timer.next < *earliest) earliest = timer.next;
      }
      if (!earliest) {
        cv_.wait(lock);
        continue;
      }
      auto now = Clock::now();
      if (now < *earliest) {
        cv_.wait_until(lock, *earliest);
        continue;
      }
      // Fire the first due timer; the others are picked up on the next turns.
      for (auto& [handle, timer] : timers_) {
        if (timer.next > now) continue;
        do {
          timer.next += timer.interval;
        } while (timer.next <= now);
        std::shared_ptr<std::function<void()>> fn = timer.fn;
        lock.unlock();
        call(*fn);
        fn.reset();
        lock.lock();
        break;
      }
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::map<MainQueue::TimerHandle, Timer> timers_;
  MainQueue::TimerHandle lastHandle_ = 0;
  std::thread::id threadId_;
};

}  // namespace

void MainQueue::async(std::function<void()> fn) { Loop::instance().async(std::move(fn)); }

void MainQueue::sync(const std::function<void()>& fn) {
  Loop& loop = Loop::instance();
  if (loop.isLoopThread()) {
    if (fn) fn();
    return;
  }
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  loop.async([&] {
    if (fn) {
      try {
        fn();
      } catch (...) {
      }
    }
    // Notified under the lock: the waiter's cv lives on its stack and is gone
    // as soon as it sees `done`.
    std::lock_guard lock(mu);
    done = true;
    cv.notify_one();
  });
  std::unique_lock lock(mu);
  cv.wait(lock, [&] { return done; });
}

bool MainQueue::isMainThread() { return Loop::instance().isLoopThread(); }

MainQueue::TimerHandle MainQueue::addRepeatingTimer(std::chrono::nanoseconds interval,
                                                    std::function<void()> fn) {
  return Loop::instance().addTimer(std::chrono::duration_cast<Clock::duration>(interval),
                                   std::move(fn));
}

void MainQueue::invalidate(TimerHandle handle) { Loop::instance().invalidate(handle); }

}  // namespace orvexa
