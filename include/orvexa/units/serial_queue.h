// A serial work queue on top of the global pool (dispatch.h): pieces handed
// to one queue run one at a time, in the order handed in, on pool threads.
//
// Contract with callers:
// - Every piece either runs or its error handler is called with an error;
//   never both, and each at most once.
// - run and runDeferred enqueue at the tail and return at once; neither waits
//   for the work. Handing work in from inside the queue's own work therefore
//   just enqueues it behind the current piece (no deadlock).
// - An exception escaping a piece is caught and dropped; the piece counts as
//   run.
// - Destruction does not wait. The piece running at that moment (if any)
//   finishes; pieces not yet started are dropped and their handlers receive
//   THREADRUNERROR::cancelled, on the queue, in order, after that piece. A
//   queue may therefore be released (also from inside its own work) while
//   work is pending, and may be shared through std::shared_ptr.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <functional>
#include <memory>

#include "orvexa/units/dispatch.h"

namespace orvexa {

namespace JThreadSatefy {

// Why a queue did not run a piece. Handlers may compare against any case; the
// case at position 4 (cancelled) means "not run, nothing to do".
enum class THREADRUNERROR : int {
  // No pool thread could be started for the queue. Reported on the caller's
  // thread before run/runDeferred returns.
  threadUnavailable = 0,
  // The piece could not be stored (allocation failed). Reported on the
  // caller's thread.
  outOfMemory = 1,
  // sync() was called from inside this queue's own work, where waiting would
  // never end. Reported on the caller's thread.
  wouldDeadlock = 2,
  // Reserved for a suspended queue; this queue cannot be suspended and never
  // reports it.
  suspended = 3,
  // Not run, nothing to do: the queue was destroyed before the piece started,
  // or the piece was empty.
  cancelled = 4,
};

}  // namespace JThreadSatefy

// A serial queue over our own thread pool; the name is the platform dispatch
// queue's it stands in for (there is no GCD here).
class SerialGCDService {
 public:
  // The pool lane the queue's pieces use: the pool's own lanes under the
  // name hosts know.
  using GCDQOS = DispatchQoS;

  using Work = std::function<void()>;
  using ErrorHandler = std::function<void(JThreadSatefy::THREADRUNERROR)>;

  explicit SerialGCDService(GCDQOS qos);
  ~SerialGCDService();
  SerialGCDService(const SerialGCDService&) = delete;
  SerialGCDService& operator=(const SerialGCDService&) = delete;

  // Both enqueue `work` and return at once (see the contract above). An empty
  // errorHandler is allowed: errors are then dropped.
  void run(Work work, ErrorHandler errorHandler);
  void runDeferred(Work work, ErrorHandler errorHandler);

  // Enqueues `work` and blocks until it has run or its handler has been
  // called. Returns true when the work ran. From inside this queue's own work
  // it does not wait: the handler gets wouldDeadlock and it returns false.
  bool sync(Work work, ErrorHandler errorHandler);

  // Blocks until the queue has nothing queued or running, including work that
  // pieces hand in while this waits. From inside this queue's own work it
  // returns false at once; otherwise true.
  bool waitUntilIdle();

  // True on a thread that is running a piece of this queue.
  bool isCurrent() const;

  GCDQOS qos() const { return qos_; }

 private:
  struct State;
  GCDQOS qos_;
  std::shared_ptr<State> state_;  // shared with pieces in flight on the pool
};

}  // namespace orvexa
