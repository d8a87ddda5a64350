#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "orvexa/scan/disk_analysis/disk_analysis_service.h"
#include "scan/disk_analysis/disk_scan_fixture.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::DiskScan;
using testing::findRecord;
using testing::TempDir;

constexpr int kFeatureID = 1503;
constexpr int kTicked = 1;
constexpr int kMixed = -1;

// After a scan, plays the clean service: ticks records, deletes the ticked
// files on disk that are to succeed and writes the outcome into the records.
class SortCategoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_.writeFile("tree/keep.txt", std::string(10, 'k'));
    tmp_.writeFile("tree/gone.txt", std::string(20, 'g'));
    tmp_.writeFile("tree/failed.txt", std::string(30, 'f'));
    tmp_.writeFile("tree/emptied/a", std::string(40, 'a'));
    tmp_.writeFile("tree/emptied/b", std::string(50, 'b'));
    tmp_.writeFile("tree/partial/c", std::string(60, 'c'));
    tmp_.writeFile("tree/partial/d", std::string(70, 'd'));
    tmp_.writeFile("tree/mixed/e", std::string(80, 'e'));
    tmp_.writeFile("tree/mixed/f", std::string(90, 'f'));
    tmp_.writeFile("tree/mixed/sub/g", std::string(100, 'g'));
    tmp_.writeFile("tree/nested/inner/x", std::string(5, 'x'));
    ASSERT_TRUE(scan_.run(tmp_ / "tree"));
    root_ = scan_.root();
    ASSERT_TRUE(root_);
    ASSERT_EQ(root_->size, 555);
  }

  FilePtr at(const std::string& path) { return findRecord(root_, path); }

  // Ticks the record; `outcome` is what the clean did to it (files: removed
  // from disk on success).
  void clean(const std::string& path, int state, DeleteStatus outcome = DeleteStatus::None) {
    FilePtr r = at(path);
    ASSERT_TRUE(r) << path;
    r->state = state;
    r->deleteStatus = raw(outcome);
    if (outcome == DeleteStatus::DeleteSuccess && r->childrens.empty()) {
      ASSERT_TRUE(fs::remove(r->url.path()));
    }
    if (outcome == DeleteStatus::DeleteError) r->deleteErrorDesc = "Operation not permitted";
  }

  TempDir tmp_;
  DiskScan scan_{kFeatureID};
  FilePtr root_;
};

TEST_F(SortCategoryTest, TakesDeletedRecordsOutAndKeepsFailedOnesUnticked) {
  root_->state = kMixed;
  clean("gone.txt", kTicked, DeleteStatus::DeleteSuccess);
  clean("failed.txt", kTicked, DeleteStatus::DeleteError);
  clean("emptied", kTicked, DeleteStatus::DeleteSuccess);
  clean("emptied/a", kTicked, DeleteStatus::DeleteSuccess);
  clean("emptied/b", kTicked, DeleteStatus::DeleteSuccess);
  clean("partial", kTicked, DeleteStatus::DeleteError);
  clean("partial/c", kTicked, DeleteStatus::DeleteSuccess);
  clean("partial/d", kTicked, DeleteStatus::DeleteError);
  clean("mixed", kMixed);
  clean("mixed/e", kTicked, DeleteStatus::DeleteSuccess);
  clean("mixed/sub", kTicked, DeleteStatus::DeleteSuccess);
  clean("mixed/sub/g", kTicked, DeleteStatus::DeleteSuccess);
  // The clean left the status of the folder in between untouched.
  clean("nested", kTicked, DeleteStatus::Deleteing);
  clean("nested/inner", kTicked, DeleteStatus::Deleteing);
  clean("nested/inner/x", kTicked, DeleteStatus::DeleteSuccess);

  auto [removed, records, text] = DiskAnalysisService::sortCategory(scan_.category());

  EXPECT_EQ(removed, 20 + 40 + 50 + 60 + 80 + 100 + 5);
  EXPECT_EQ(text, "");
  std::set<std::string> removedPaths;
  for (const FilePtr& r : records) {
    removedPaths.insert(r->url.path());
    EXPECT_TRUE(r->childrens.empty()) << r->url.path();
  }
  EXPECT_EQ(
      removedPaths,
      (std::set<std::string>{tmp_ / "tree/gone.txt", tmp_ / "tree/emptied", tmp_ / "tree/partial/c",
                             tmp_ / "tree/mixed/e", tmp_ / "tree/mixed/sub",
                             tmp_ / "tree/nested/inner", tmp_ / "tree/nested"}));

  struct Stays {
    const char* path;
    int state;
    int64_t size;
    size_t children;
  };
  const Stays stays[] = {
      {"keep.txt", 0, 10, 0},  {"failed.txt", 0, 30, 0}, {"partial", 0, 70, 1},
      {"partial/d", 0, 70, 0}, {"mixed", kMixed, 90, 1}, {"mixed/f", 0, 90, 0},
  };
  for (const Stays& s : stays) {
    SCOPED_TRACE(s.path);
    FilePtr r = at(s.path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->state, s.state);
    EXPECT_EQ(r->size, s.size);
    EXPECT_EQ(r->childrens.size(), s.children);
  }
  for (const char* gone : {"gone.txt", "emptied", "partial/c", "mixed/e", "mixed/sub", "nested"}) {
    EXPECT_FALSE(at(gone)) << gone;
  }
  std::vector<std::string> left;
  for (const FilePtr& c : root_->childrens) left.push_back(c->title);
  EXPECT_EQ(left, (std::vector<std::string>{"failed.txt", "keep.txt", "mixed", "partial"}));
  EXPECT_EQ(root_->size, 10 + 30 + 70 + 90);
  EXPECT_EQ(scan_.category()->size, root_->size);

  // Folders whose whole content went are removed from disk; the others stay.
  EXPECT_FALSE(fs::exists(tmp_ / "tree/emptied"));
  EXPECT_FALSE(fs::exists(tmp_ / "tree/mixed/sub"));
  EXPECT_FALSE(fs::exists(tmp_ / "tree/nested"));
  EXPECT_TRUE(fs::exists(tmp_ / "tree/partial/d"));
  EXPECT_TRUE(fs::exists(tmp_ / "tree/mixed/f"));
  EXPECT_TRUE(fs::exists(tmp_ / "tree/failed.txt"));
}

TEST_F(SortCategoryTest, LeavesTheDiskAloneWhenTheRecordSaysItCannotBeDeleted) {
  clean("emptied", kTicked, DeleteStatus::DeleteSuccess);
  clean("emptied/a", kTicked, DeleteStatus::DeleteSuccess);
  clean("emptied/b", kTicked, DeleteStatus::DeleteSuccess);
  at("emptied")->canDelete = false;
  auto [removed, records, text] = DiskAnalysisService::sortCategory(scan_.category());
  EXPECT_EQ(removed, 90);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_FALSE(at("emptied"));
  EXPECT_TRUE(fs::is_directory(tmp_ / "tree/emptied"));
}

TEST_F(SortCategoryTest, NothingTickedChangesNothing) {
  auto [removed, records, text] = DiskAnalysisService::sortCategory(scan_.category());
  EXPECT_EQ(removed, 0);
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(root_->size, 555);
  EXPECT_EQ(root_->childrens.size(), 7u);
  EXPECT_EQ(scan_.category()->size, 555);
}

}  // namespace
}  // namespace orvexa
