#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/identity.h"
#include "support/helper_fixture.h"
#include "support/plist_values.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;

PlistValue deleteEvent(const std::string& path, int number) {
  return testing::plistDict(
      {{path, testing::deleteValue(path, testing::plistDict({{"0", number}}))}});
}

// Several threads share the one proxy of PrivilegeHelper: every call is
// answered once, with the answer to its own request.
TEST(HelperConcurrencyTest, CallsFromManyThreadsGetTheirOwnAnswers) {
  testing::Sandbox sb;
  Identity::shared().setBundleIdentifier("org.orvexa.tests");
  testing::RunningHelper helper;
  constexpr int kThreads = 4;
  constexpr int kCalls = 15;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kCalls; ++i) {
      sb.file("/Library/Caches/t" + std::to_string(t) + "/f" + std::to_string(i), 3);
    }
  }
  std::atomic<int> wrong{0};
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        PrivilegeHelper::HelperTool tool = PrivilegeHelper::shard().getHelperTool(
            PrivilegeHelper::helperName(), kSMDomainSystemLaunchd);
        if (!tool.first) {
          ++wrong;
          continue;
        }
        const std::string path =
            sb.path("/Library/Caches/t" + std::to_string(t) + "/f" + std::to_string(i));
        testing::EventAnswer answer =
            testing::callEvent(*tool.first, raw(HelperHanldeEventID::Delete), deleteEvent(path, i));
        const PlistValue* entry = answer.information.find(path);
        const PlistValue* number = entry != nullptr ? entry->find("0") : nullptr;
        if (!answer.ok || number == nullptr || number->asInteger() != i) ++wrong;
        ++answered;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(answered.load(), kThreads * kCalls);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(fs::is_empty(sb.path("/Library/Caches/t" + std::to_string(t))));
  }
}

}  // namespace
}  // namespace orvexa
