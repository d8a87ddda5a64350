#include "orvexa/units/dispatch.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace orvexa {
namespace {

constexpr std::size_t kLanes = 5;

class Pool {
 public:
  static Pool& instance() {
    // Never destroyed: detached workers and late pieces outlive static
    // destruction.
    static Pool* pool = new Pool;
    return *pool;
  }

  bool submit(DispatchQoS qos, std::function<void()> work) {
    if (!work) return true;
    std::size_t lane = std::min(static_cast<std::size_t>(qos), kLanes - 1);
    std::unique_lock lock(mu_);
    try {
      lanes_[lane].push_back(std::move(work));
    } catch (const std::bad_alloc&) {
      return false;
    }
    ++pending_;
    if (idle_ > 0) workCv_.notify_one();
    if (pending_ > idle_ && threads_ < core_) startWorkerLocked();
    if (threads_ == 0) {
      // Not a single worker could be started: the piece would never run.
      lanes_[lane].pop_back();
      --pending_;
      return false;
    }
    if (!supervisorStarted_) {
      try {
        std::thread([this] { superviseLoop(); }).detach();
        supervisorStarted_ = true;
      } catch (const std::system_error&) {
        // Without a supervisor the pool keeps its core; try again next time.
      }
    } else if (idle_ == 0) {
      supervisorCv_.notify_one();
    }
    return true;
  }

  std::size_t core() const { return core_; }

  std::size_t threads() {
    std::lock_guard lock(mu_);
    return threads_;
  }

 private:
  Pool() : core_(std::max<std::size_t>(2, std::thread::hardware_concurrency())) {}

  // Called with mu_ held; the new worker waits for mu_ before it looks at the
  // lanes, so the count is right before it runs.
  bool startWorkerLocked() {
    try {
      std::thread([this] { workerLoop(); }).detach();
    } catch (const std::system_error&) {
      return false;
    }
    ++threads_;
    return true;
  }

  std::function<void()> takeLocked() {
    for (auto& lane : lanes_) {
      if (!lane.empty()) {
        std::function<void()> work = std::move(lane.front());
        lane.pop_front();
        --pending_;
        return work;
      }
    }
    return {};
  }

  void workerLoop() {
    std::unique_lock lock(mu_);
    for (;;) {
      if (pending_ == 0) {
        ++idle_;
        bool gotWork = workCv_.wait_for(lock, kIdleRetire, [this] { return pending_ > 0; });
        --idle_;
        if (!gotWork && threads_ > core_) {
          --threads_;
          return;
        }
        continue;
      }
      std::function<void()> work = takeLocked();
      // This worker is now busy too: if work is left and nobody is idle, the
      // supervisor must start watching for blocked workers.
      if (pending_ > 0 && idle_ == 0) supervisorCv_.notify_one();
      lock.unlock();
      try {
        work();
      } catch (...) {
        // A piece has nobody to report to; the worker must survive it.
      }
      work = nullptr;  // captured state is released outside the lock
      lock.lock();
      ++finished_;
    }
  }

  // Adds a worker after every kGrowInterval in which work waited, no worker
  // was idle and no piece finished: the workers are blocked, not busy.
  void superviseLoop() {
    std::unique_lock lock(mu_);
    for (;;) {
      supervisorCv_.wait(lock, [this] { return pending_ > 0 && idle_ == 0; });
      const std::uint64_t finishedBefore = finished_;
      const auto deadline = std::chrono::steady_clock::now() + kGrowInterval;
      while (supervisorCv_.wait_until(lock, deadline) != std::cv_status::timeout) {
      }
      if (pending_ > 0 && idle_ == 0 && finished_ == finishedBefore && threads_ < kMaxThreads) {
        startWorkerLocked();
      }
    }
  }

  const std::size_t core_;
  std::mutex mu_;
  std::condition_variable workCv_;
  std::condition_variable supervisorCv_;
  std::array<std::deque<std::function<void()>>, kLanes> lanes_;
  std::size_t pending_ = 0;
  std::size_t threads_ = 0;
  std::size_t idle_ = 0;
  std::uint64_t finished_ = 0;
  bool supervisorStarted_ = false;
};

}  // namespace

bool dispatchGlobal(DispatchQoS qos, std::function<void()> work) {
  return Pool::instance().submit(qos, std::move(work));
}

std::size_t dispatchGlobalCoreThreads() { return Pool::instance().core(); }

std::size_t dispatchGlobalThreadCount() { return Pool::instance().threads(); }

}  // namespace orvexa
