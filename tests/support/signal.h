// A one-shot flag a test can wait on with a time limit, for callbacks that
// arrive on other threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace orvexa::testing {

class Signal {
 public:
  void notify() {
    std::lock_guard lock(mu_);
    ++count_;
    cv_.notify_all();
  }
  // True when notified at least `times` times within `limit`.
  bool wait(std::chrono::nanoseconds limit = std::chrono::seconds(20), int times = 1) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, limit, [&] { return count_ >= times; });
  }
  int count() const {
    std::lock_guard lock(mu_);
    return count_;
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  int count_ = 0;
};

}  // namespace orvexa::testing
