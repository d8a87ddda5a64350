// Turns finished steps of a task into a smoothly rising fraction: ten times a
// second (on the main-queue thread) the displayed progress advances by
// `increaseValue` steps while it trails the finished steps, and progressFunc
// receives singleStep / totalStep. The arithmetic is single precision on
// purpose: the reported values are exactly those of Float arithmetic
// (0.2f + 0.2f + ...), never clamped, and the last value is always 1.0f.
//
// Lifecycle: created -> running (startTime) -> stopped (stopTime, from a tick
// once currentStep == totalStep, or by the caller). stopTime reports 1.0f on
// every call.
//
// Ownership: best held by std::shared_ptr (std::make_shared); its timer then
// holds only a weak reference and a tick after the last owner is gone does
// nothing. The destructor invalidates a running timer; for a service not
// owned by a shared_ptr it also waits (off the main-queue thread) for a tick
// in progress to finish.
//
// Thread-safety: progressStep may be called from any thread (atomic, no step
// is lost). Ticks run on the main-queue thread; stopTime may come from any
// thread. progressFunc runs on the thread of the tick or of the stopTime call,
// so a tick and a concurrent stopTime may call it at the same time.
// updatePercent called directly (tests) must not race with running ticks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "orvexa/units/main_queue.h"

namespace orvexa {

class PercentService : public std::enable_shared_from_this<PercentService> {
 public:
  using ProgressFunc = std::function<void(float)>;

  PercentService(ProgressFunc progressFunc, int64_t totalStep, float increaseValue = 0.2f);
  ~PercentService();
  PercentService(const PercentService&) = delete;
  PercentService& operator=(const PercentService&) = delete;

  // Starts ticks every 0.1 s on the main-queue thread. A second call while
  // running replaces the running timer.
  void startTime();
  // One finished step.
  void progressStep();
  // One tick (the timer's action).
  void updatePercent();
  // Invalidates the timer if any, then calls progressFunc(1.0f).
  void stopTime();

  int64_t totalStep() const { return totalStep_; }
  int64_t currentStep() const { return currentStep_.load(); }
  bool isRunning() const;

 private:
  ProgressFunc progressFunc_;
  const int64_t totalStep_;
  std::atomic<int64_t> currentStep_{0};
  float singleStep_ = 0.0f;  // touched by ticks only
  const float increaseValue_;

  mutable std::mutex timerMu_;
  MainQueue::TimerHandle timer_ = MainQueue::kNoTimer;  // guarded by timerMu_
  bool timerHoldsThis_ = false;                         // guarded by timerMu_
};

}  // namespace orvexa
