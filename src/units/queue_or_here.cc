#include "orvexa/units/queue_or_here.h"

#include <utility>

namespace orvexa {

void runOnQueueOrHere(SerialGCDService* queue, std::function<void()> work, WhenReleased released) {
  if (!work) return;
  if (!queue) {
    work();
    return;
  }
  // One copy shared by the queue and the error handler: at most one of them
  // runs it (the queue's contract).
  auto piece = std::make_shared<std::function<void()>>(std::move(work));
  queue->run(
      [piece] { (*piece)(); },
      [piece, released](JThreadSatefy::THREADRUNERROR error) {
        if (error == JThreadSatefy::THREADRUNERROR::cancelled && released == WhenReleased::kDrop) {
          return;
        }
        (*piece)();
      });
}

void runOnPoolOrHere(DispatchQoS qos, std::function<void()> work) {
  if (!work) return;
  auto piece = std::make_shared<std::function<void()>>(std::move(work));
  if (!dispatchGlobal(qos, [piece] { (*piece)(); })) (*piece)();
}

}  // namespace orvexa
