#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "orvexa/clean/clean_service.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/identity.h"
#include "support/helper_fixture.h"
#include "support/sandbox.h"
#include "support/signal.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;

class CountingFinish : public CleanServiceProtocol {
 public:
  void cleanFinish(int, int64_t size, std::vector<FilePtr> records, int status,
                   std::string) override {
    {
      std::lock_guard lock(mu);
      ++reports;
      removed += size;
      failures += records.size();
      if (status != raw(HelperEventErrorID::Success)) ++badStatus;
    }
    done.notify();
  }
  void cleanProgress(float) override {}

  std::mutex mu;
  int reports = 0;
  int64_t removed = 0;
  size_t failures = 0;
  int badStatus = 0;
  testing::Signal done;
};

// Requests running side by side, each with direct removals and a helper
// request whose answer arrives on the connection's thread.
TEST(CleanServiceConcurrencyTest, RequestsSideBySideEachReportOnceWithTheirOwnCounts) {
  testing::Sandbox sb;
  Identity::shared().setBundleIdentifier("org.orvexa.tests");
  testing::RunningHelper helper;
  constexpr int kRequests = 4;
  constexpr int kFiles = 6;
  auto finish = std::make_shared<CountingFinish>();
  for (int r = 0; r < kRequests; ++r) {
    std::vector<FilePtr> records;
    for (int i = 0; i < kFiles; ++i) {
      const std::string path =
          sb.file("~/Library/Caches/r" + std::to_string(r) + "/f" + std::to_string(i), 10);
      records.push_back(std::make_shared<FileInformation>(
          1, i, r, "f", Image{}, 10, Timestamp{}, Url::fromPath(path), "",
          /*canDelete=*/i % 2 == 0, false, std::any{}, std::vector<FilePtr>{}, nullptr,
          raw(FilesKind::File), 0, nullptr));
    }
    auto category = std::make_shared<CategoryInformation>(
        1, r, "c", Image{}, 0, "", raw(CategoryInfomationKind::Common), std::vector<Url>{},
        std::move(records), nullptr, std::any{}, 0, false);
    CleanService::cleanCategorys({category}, CleanServiceType::Common, finish, nullptr);
  }
  ASSERT_TRUE(finish->done.wait(std::chrono::seconds(30), kRequests));
  std::lock_guard lock(finish->mu);
  EXPECT_EQ(finish->reports, kRequests);
  EXPECT_EQ(finish->removed, kRequests * kFiles * 10);
  EXPECT_EQ(finish->failures, 0u);
  EXPECT_EQ(finish->badStatus, 0);
  for (int r = 0; r < kRequests; ++r) {
    EXPECT_TRUE(fs::is_empty(sb.path("~/Library/Caches/r" + std::to_string(r))));
  }
  PrivilegeHelper::shard().close();
}

}  // namespace
}  // namespace orvexa
