// Helpers of the toolkit tests: waiting for a task's finish, which may come
// on any thread, and features rendered as text.
#pragma once

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "orvexa/model/records.h"
#include "support/browser_store_fixture.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa::testing {

// Lays out in `sb` the entries of tests/data/<name>, one a line, each as
// Sandbox::layout takes it; lines starting with "#" are notes.
inline void layOut(const Sandbox& sb, std::string_view name) {
  std::istringstream lines(testData(name));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != '#') sb.layout({line});
  }
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
                         item->url.path().substr(sb.root().size()), attachmentText(item),
                         item->size, item->fileKind);
      EXPECT_EQ(item->parentCategoryInfo.lock(), c);
    }
  }
  return out;
}

// Calls `start` with a finish that keeps its arguments, waits for the first
// call (a failed EXPECT when none comes) and returns what it received. Later
// calls are dropped: tests that count calls count them themselves.
template <typename... Args, typename Start>
std::tuple<std::decay_t<Args>...> awaitFinish(Start start) {
  using Got = std::tuple<std::decay_t<Args>...>;
  auto promise = std::make_shared<std::promise<Got>>();
  std::future<Got> got = promise->get_future();
  start(std::function<void(Args...)>([promise](Args... args) {
    try {
      promise->set_value(Got{std::move(args)...});
    } catch (const std::future_error&) {  // a later call
    }
  }));
  const bool came = got.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  EXPECT_TRUE(came) << "the finish never came";
  return came ? got.get() : Got{};
}

}  // namespace orvexa::testing
