// The process-wide concurrent work pool ("global queues"): scanning work that
// may run in parallel is handed here, tagged with a quality-of-service lane.
//
// Scheduling policy:
// - One pool serves every lane. A free worker always takes the oldest piece of
//   the most urgent non-empty lane (userInteractive first, background last);
//   within a lane pieces start in the order handed in. Lanes do not age: a
//   steady stream of urgent work delays background work.
// - Core: up to dispatchGlobalCoreThreads() workers (the number of hardware
//   threads, at least 2) are started on demand and never retire.
// - Growth: pieces may block (file I/O, waiting for a tool, waiting for a
//   serial queue). When work is waiting, no worker is idle and no piece has
//   finished for kGrowInterval, a supervisor adds one worker, and again after
//   each further interval without progress, up to kMaxThreads. So a pool whose
//   workers are all blocked still drains its queue, while CPU-bound work that
//   keeps finishing pieces does not grow the pool beyond its core.
// - Retirement: workers beyond the core exit after kIdleRetire without work.
//
// Pieces run to completion on a pool thread; an exception escaping a piece is
// caught and dropped. The pool lives for the whole process and is never torn
// down (pieces may still be running while static destructors run).
//
// Thread-safety: all functions may be called from any thread, including from
// pool work.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace orvexa {

enum class DispatchQoS { userInteractive, userInitiated, default_, utility, background };

inline constexpr std::chrono::milliseconds kGrowInterval{20};
inline constexpr std::chrono::seconds kIdleRetire{5};
inline constexpr std::size_t kMaxThreads = 256;

// Hands `work` to the pool and returns at once. Returns false, dropping the
// work, only when the pool has no worker and none can be started (thread
// creation failed); an empty `work` is accepted and ignored.
bool dispatchGlobal(DispatchQoS qos, std::function<void()> work);

// The number of workers the pool keeps without growth.
std::size_t dispatchGlobalCoreThreads();

// Workers currently alive (core and grown); for diagnostics and tests.
std::size_t dispatchGlobalThreadCount();

}  // namespace orvexa
