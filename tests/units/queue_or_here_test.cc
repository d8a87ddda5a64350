#include "orvexa/units/queue_or_here.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace orvexa {
namespace {

// A queue released before its pieces start drops them, but for a piece that
// must run anyway; a missing queue runs the piece here, at once.
TEST(QueueOrHereTest, ReleasedQueueDropsUnlessToldToRunHere) {
  bool ranHere = false;
  runOnQueueOrHere(std::shared_ptr<SerialGCDService>(), [&] { ranHere = true; });
  EXPECT_TRUE(ranHere);

  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<int> dropped{0};
  std::promise<void> kept;
  {
    auto queue = std::make_shared<SerialGCDService>(DispatchQoS::default_);
    queue->run([opened] { opened.wait(); }, nullptr);
    runOnQueueOrHere(queue, [&] { ++dropped; });
    runOnQueueOrHere(
        queue, [&] { kept.set_value(); }, WhenReleased::kRunHere);
  }
  gate.set_value();
  kept.get_future().wait();  // handlers run in order: the dropped one came first
  EXPECT_EQ(dropped.load(), 0);
}

}  // namespace
}  // namespace orvexa
