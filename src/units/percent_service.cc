#include "orvexa/units/percent_service.h"

#include <chrono>
#include <utility>

namespace orvexa {

namespace {
constexpr std::chrono::milliseconds kTickInterval{100};
}  // namespace

PercentService::PercentService(ProgressFunc progressFunc, int64_t totalStep, float increaseValue)
    : progressFunc_(std::move(progressFunc)),
      totalStep_(totalStep),
      increaseValue_(increaseValue) {}

PercentService::~PercentService() {
  MainQueue::TimerHandle timer;
  bool heldThis;
  {
    std::lock_guard lock(timerMu_);
    timer = std::exchange(timer_, MainQueue::kNoTimer);
    heldThis = timerHoldsThis_;
  }
  if (timer == MainQueue::kNoTimer) return;
  MainQueue::invalidate(timer);
  // A timer holding a plain pointer may be in a tick right now: wait for the
  // main-queue thread to finish it.
  if (heldThis && !MainQueue::isMainThread()) MainQueue::sync({});
}

void PercentService::startTime() {
  std::function<void()> tick;
  bool holdsThis = false;
  if (std::weak_ptr<PercentService> weak = weak_from_this(); !weak.expired()) {
    tick = [weak] {
      if (auto self = weak.lock()) self->updatePercent();
    };
  } else {
    tick = [this] { updatePercent(); };
    holdsThis = true;
  }
  MainQueue::TimerHandle previous;
  {
    std::lock_guard lock(timerMu_);
    previous = std::exchange(timer_, MainQueue::addRepeatingTimer(kTickInterval, std::move(tick)));
    timerHoldsThis_ = holdsThis;
  }
  if (previous != MainQueue::kNoTimer) MainQueue::invalidate(previous);
}

void PercentService::progressStep() { currentStep_.fetch_add(1); }

void PercentService::updatePercent() {
  const int64_t current = currentStep_.load();
  if (current == totalStep_) {
    stopTime();
    return;
  }
  if (singleStep_ < static_cast<float>(current)) {
    singleStep_ += increaseValue_;
    if (progressFunc_) progressFunc_(singleStep_ / static_cast<float>(totalStep_));
  }
}

void PercentService::stopTime() {
  MainQueue::TimerHandle timer;
  {
    std::lock_guard lock(timerMu_);
    timer = std::exchange(timer_, MainQueue::kNoTimer);
  }
  if (timer != MainQueue::kNoTimer) MainQueue::invalidate(timer);
  if (progressFunc_) progressFunc_(1.0f);
}

bool PercentService::isRunning() const {
  std::lock_guard lock(timerMu_);
  return timer_ != MainQueue::kNoTimer;
}

}  // namespace orvexa
