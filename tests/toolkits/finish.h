// Helpers of the toolkit tests: waiting for a task's finish, which may come
// on any thread, and the switch state an item carries.
#pragma once

#include <gtest/gtest.h>

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <tuple>
#include <type_traits>

#include "orvexa/model/records.h"
#include "support/signal.h"

namespace orvexa::testing {

// The text an item carries ("Start", "Close"), or "<not a text>".
inline std::string attachmentOf(const FilePtr& item) {
  const std::string* text = std::any_cast<std::string>(&item->attachInformation);
  return text != nullptr ? *text : "<not a text>";
}

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
