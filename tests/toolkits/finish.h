// Waiting for a task's finish, which may come on any thread.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <tuple>
#include <type_traits>

#include "support/signal.h"

namespace orvexa::testing {

// Calls `start` with a finish that keeps its arguments, waits for the first
// call (a failed EXPECT when none comes) and returns what it received.
template <typename... Args, typename Start>
std::tuple<std::decay_t<Args>...> awaitFinish(Start start) {
  struct Shared {
    Signal signal;
    std::mutex mu;
    std::tuple<std::decay_t<Args>...> got;
  };
  auto shared = std::make_shared<Shared>();
  start(std::function<void(Args...)>([shared](Args... args) {
    {
      std::lock_guard lock(shared->mu);
      shared->got = {std::move(args)...};
    }
    shared->signal.notify();
  }));
  EXPECT_TRUE(shared->signal.wait());
  std::lock_guard lock(shared->mu);
  return shared->got;
}

}  // namespace orvexa::testing
