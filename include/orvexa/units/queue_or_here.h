// Handing a piece of work to a serial queue or to the global pool without
// ever losing a completion.
//
// The cancel rule, the one every caller follows:
// - A serial queue that reports `cancelled` was released before the piece
//   started (or the piece was empty): nobody waits for the piece any more, so
//   it is dropped, unless the caller passes WhenReleased::kRunHere for a
//   piece that must run whatever becomes of the queue.
// - Any other refusal (no pool thread, no memory) means the queue could not
//   take the piece at all: it then runs here, on the calling thread, before
//   the call returns, so that a scan's `done` still comes.
// - A null queue runs the piece here at once.
// - The pool refuses only when it has no worker and cannot start one: the
//   piece then runs here too.
//
// Thread-safety: may be called from any thread, including from queue or pool
// work. Errors: none reach the caller; an exception escaping a piece that runs
// here propagates to the caller like any direct call.
#pragma once

#include <functional>
#include <memory>

#include "orvexa/units/dispatch.h"
#include "orvexa/units/serial_queue.h"

namespace orvexa {

enum class WhenReleased { kDrop, kRunHere };

void runOnQueueOrHere(SerialGCDService* queue, std::function<void()> work,
                      WhenReleased released = WhenReleased::kDrop);

inline void runOnQueueOrHere(const std::shared_ptr<SerialGCDService>& queue,
                             std::function<void()> work,
                             WhenReleased released = WhenReleased::kDrop) {
  runOnQueueOrHere(queue.get(), std::move(work), released);
}

void runOnPoolOrHere(DispatchQoS qos, std::function<void()> work);

inline void runOnPoolOrHere(std::function<void()> work) {
  runOnPoolOrHere(DispatchQoS::default_, std::move(work));
}

}  // namespace orvexa
