// Helpers of the toolkit tests: waiting for a task's finish, which may come
// on any thread, and features rendered as text.
#pragma once

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <tuple>
#include <type_traits>

#include "orvexa/model/records.h"
#include "support/sandbox.h"
#include "support/signal.h"

namespace orvexa::testing {

// The text an item carries ("Start", "Close"), or "<not a text>".
inline std::string attachmentOf(const FilePtr& item) {
  const std::string* text = std::any_cast<std::string>(&item->attachInformation);
  return text != nullptr ? *text : "<not a text>";
}

// One line per category ("finderID title (description) size state kind")
// and per item ("  finderID sandbox path attachment size fileKind"); the
// links up every category and item must have are checked on the way.
inline std::string summary(const FeaturePtr& feature, const Sandbox& sb) {
  std::string out;
  for (const CategoryPtr& c : feature->categoryInfo) {
    out += fmt::format("{} {} ({}) {} {} {}\n", c->finderID(), c->title, c->description, c->size,
                       c->state, c->kind);
    EXPECT_EQ(c->featureInfo.lock(), feature);
    for (const FilePtr& item : c->childrens) {
      out += fmt::format("  {} {} {} {} {}\n", item->finderID(),
                         item->url.path().substr(sb.root().size()), attachmentOf(item), item->size,
                         item->fileKind);
      EXPECT_EQ(item->parentCategoryInfo.lock(), c);
    }
  }
  return out;
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
