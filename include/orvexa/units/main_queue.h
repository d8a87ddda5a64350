// The library's "main queue" and "main run loop": one dedicated thread,
// started on first use and kept for the life of the process, that runs
// completions handed to it (FIFO) and repeating timers.
//
// Timers behave like run-loop timers: the first tick comes one interval after
// creation, later ticks on the interval grid; ticks missed while the thread was
// busy are skipped, not queued up. Queued functions run before due timers.
//
// Thread-safety: every member may be called from any thread, including from
// work running on the main-queue thread. Exceptions escaping a function or a
// timer are caught and dropped.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace orvexa {

class MainQueue {
 public:
  using TimerHandle = std::uint64_t;  // 0 is never a valid handle
  static constexpr TimerHandle kNoTimer = 0;

  // Runs `fn` later on the main-queue thread.
  static void async(std::function<void()> fn);

  // Runs `fn` on the main-queue thread and waits for it; on that thread
  // itself `fn` runs at once (no deadlock). Also a barrier: everything handed
  // in before has run when it returns.
  static void sync(const std::function<void()>& fn);

  static bool isMainThread();

  // Calls `fn` on the main-queue thread every `interval` until invalidated.
  static TimerHandle addRepeatingTimer(std::chrono::nanoseconds interval, std::function<void()> fn);

  // Stops a timer; unknown or already invalidated handles are ignored. No tick
  // starts after this returns. A tick already running on the main-queue
  // thread (when called from elsewhere) may still be finishing.
  static void invalidate(TimerHandle handle);

  MainQueue() = delete;
};

}  // namespace orvexa
