#include "orvexa/scan/disk_analysis/disk_analysis_service.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "scan/disk_analysis/disk_scan_fixture.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::DiskScan;
using testing::findRecord;
using testing::TempDir;

constexpr int kFeatureID = 1501;
constexpr int kSortFeatureID = 1503;
constexpr int kWalkFeatureID = 1502;
constexpr int kTicked = 1;
constexpr int kMixed = -1;

TEST(DiskAnalysisServiceTest, FolderWithoutContentFinishesAtOnceWithAnEmptyRoot) {
  TempDir tmp;
  for (const std::string& path :
       {tmp.makeDir("empty"), tmp / "missing", tmp.writeFile("plain.txt", "12345")}) {
    SCOPED_TRACE(path);
    DiskScan scan(kFeatureID);
    ASSERT_TRUE(scan.run(path));
    const FilePtr root = scan.root();
    ASSERT_TRUE(root);
    EXPECT_EQ(
        std::tuple(scan.done.count(), scan.total.load(), scan.feature->categoryInfo.size(),
                   scan.category()->size, scan.category()->childrens.size(), root->allocatedSize(),
                   root->childrens.size(), root->url.path(), ScanStatusTable::get(kFeatureID)),
        std::tuple(1, 0, 1u, 0, 1u, 0, 0u, path, static_cast<int>(ScanState::end)));
  }
}

TEST(DiskAnalysisServiceTest, FoldersSumTheirContentAndEachTopLevelItemIsReported) {
  testing::Sandbox sb;
  // Name order is byte order: "B" < "Tool.app" < "a" < "b.txt" < "c".
  // Packages are walked like any folder.
  sb.layout({"/t/c/z.bin:1", "/t/c/y y/deep.bin:2", "/t/c/x.bin:3", "/t/a/one:4",
             "/t/a/\xCE\xB4\xCE\xAD\xCE\xBB\xCF\x84\xCE\xB1:6", "/t/b.txt:5", "/t/B/empty/",
             "/t/Tool.app/Contents/MacOS/tool:100"});
  // Links count with their own size and are never followed.
  ASSERT_EQ(::symlink("/usr/share", sb.path("/t/a/link").c_str()), 0);
  DiskScan scan(kFeatureID);
  ASSERT_TRUE(scan.run(sb.path("/t")));
  FilePtr root = scan.root();
  ASSERT_TRUE(root);

  // Indented by each record's own level.
  EXPECT_EQ(testing::outline(root),
            "B 0 folder\n  empty 0 folder\nTool.app 100 folder\n  Contents 100 folder\n"
            "    MacOS 100 folder\n      tool 100\na 20 folder\n  link 10\n  one 4\n"
            "  \xCE\xB4\xCE\xAD\xCE\xBB\xCF\x84\xCE\xB1 6\nb.txt 5\nc 6 folder\n  x.bin 3\n"
            "  y y 2 folder\n    deep.bin 2\n  z.bin 1\n");

  // One report per top-level item, by its identifier, and the fraction
  // reaches 1.
  EXPECT_EQ(std::tuple(scan.total.load(), scan.category()->size, scan.singles, scan.lastPercent),
            std::tuple(131, 131, std::map<int, int64_t>{{0, 0}, {1, 100}, {2, 20}, {3, 5}, {4, 6}},
                       1.0f));
}

// After a scan, plays the clean service (ticks records, deletes the ticked
// files that are to succeed, writes the outcomes into the records), then
// tidies the tree.
TEST(SortCategoryTest, TakesDeletedRecordsOutAndKeepsFailedOnesUnticked) {
  testing::Sandbox sb;
  sb.layout({"/tree/keep.txt:10", "/tree/gone.txt:20", "/tree/failed.txt:30", "/tree/emptied/a:40",
             "/tree/emptied/b:50", "/tree/partial/c:60", "/tree/partial/d:70", "/tree/mixed/e:80",
             "/tree/mixed/f:90", "/tree/mixed/sub/g:100", "/tree/nested/inner/x:5"});
  DiskScan scan(kSortFeatureID);
  ASSERT_TRUE(scan.run(sb.path("/tree")));
  const FilePtr root = scan.root();
  ASSERT_EQ(root->size, 555);
  root->state = kMixed;
  const DeleteStatus ok = DeleteStatus::DeleteSuccess, error = DeleteStatus::DeleteError;
  // The clean leaves the status of the folder in between (nested/inner)
  // untouched: still "deleting".
  const DeleteStatus busy = DeleteStatus::Deleteing, none = DeleteStatus::None;
  const std::tuple<const char*, int, DeleteStatus> outcomes[] = {
      {"gone.txt", kTicked, ok},  {"failed.txt", kTicked, error},  {"emptied", kTicked, ok},
      {"emptied/a", kTicked, ok}, {"emptied/b", kTicked, ok},      {"partial", kTicked, error},
      {"partial/c", kTicked, ok}, {"partial/d", kTicked, error},   {"mixed", kMixed, none},
      {"mixed/e", kTicked, ok},   {"mixed/sub", kTicked, ok},      {"mixed/sub/g", kTicked, ok},
      {"nested", kTicked, busy},  {"nested/inner", kTicked, busy}, {"nested/inner/x", kTicked, ok}};
  // `outcome` is what the clean did (files: removed from disk on success).
  for (const auto& [path, state, outcome] : outcomes) {
    FilePtr r = findRecord(root, path);
    ASSERT_TRUE(r) << path;
    r->state = state;
    r->deleteStatus = raw(outcome);
    if (outcome == DeleteStatus::DeleteSuccess && r->childrens.empty()) {
      ASSERT_TRUE(fs::remove(r->fileUrl().path()));
    }
    if (outcome == DeleteStatus::DeleteError) r->deleteErrorDesc = "Operation not permitted";
  }
  // A folder the user may not remove leaves the tree but stays on disk.
  findRecord(root, "mixed/sub")->canDelete = false;

  auto [removed, records, text] = DiskAnalysisService::sortCategory(scan.category());

  EXPECT_EQ(removed, 20 + 40 + 50 + 60 + 80 + 100 + 5);
  EXPECT_EQ(text, "");
  // Out of the tree, each keeps its own path (and holds no children).
  std::set<std::string> removedPaths;
  for (const FilePtr& r : records)
    removedPaths.insert(r->url.path().substr(sb.root().size()) +
                        (r->childrens.empty() ? "" : " with children"));
  EXPECT_EQ(removedPaths, (std::set<std::string>{
                              "/tree/gone.txt", "/tree/emptied", "/tree/partial/c", "/tree/mixed/e",
                              "/tree/mixed/sub", "/tree/nested/inner", "/tree/nested"}));

  EXPECT_EQ(testing::outline(root),
            "failed.txt 30\nkeep.txt 10\nmixed 90 folder state -1\n  f 90\npartial 70 folder\n"
            "  d 70\n");
  EXPECT_EQ(std::pair(root->size, scan.category()->size), std::pair(int64_t{200}, int64_t{200}));

  // Folders whose whole content went are removed from disk; the others stay.
  EXPECT_EQ((std::vector{
                fs::exists(sb.path("/tree/emptied")), fs::is_directory(sb.path("/tree/mixed/sub")),
                fs::exists(sb.path("/tree/nested")), fs::exists(sb.path("/tree/partial"))}),
            (std::vector{false, true, false, true}));
}

// One top-level folder holds everything: the walkers share its sub-folders
// out among themselves, and the subtree is summed and numbered once, after
// its last piece. Repeated, so that the hand-outs fall differently.
TEST(DiskAnalysisWalkConcurrencyTest, ASharedOutSubtreeIsSummedAndNumberedOnce) {
  TempDir tmp;
  constexpr int kFolders = 60;
  int64_t expected = 0;
  for (int s = 0; s < kFolders; ++s) {
    expected += 5 * (s % 4 + 1) + s;
    const std::string folder = "t/only/s" + std::to_string(s);
    for (int k = 0; k <= s % 4; ++k) tmp.writeFile(folder + "/f" + std::to_string(k), "12345");
    tmp.writeFile(folder + "/inner/deeper/g", std::string(static_cast<size_t>(s), 'g'));
  }
  for (int run = 0; run < 4; ++run) {
    SCOPED_TRACE(run);
    DiskScan scan(kWalkFeatureID);
    ASSERT_TRUE(scan.run(tmp / "t"));
    FilePtr only = findRecord(scan.root(), "only");
    ASSERT_TRUE(only);
    EXPECT_EQ(only->size, expected);
    ASSERT_EQ(only->childrens.size(), static_cast<size_t>(kFolders));
    for (size_t i = 0; i < only->childrens.size(); ++i) {
      const FilePtr& sub = only->childrens[i];
      const int s = std::stoi(sub->title.substr(1));
      const FilePtr g = findRecord(sub, "inner/deeper/g");
      ASSERT_TRUE(g);
      EXPECT_EQ(std::tuple(sub->finderID(), sub->parentFinderID, sub->size, g->levelInt,
                           g->hashValueString()),
                std::tuple(static_cast<int>(i), only->finderID(), 5 * (s % 4 + 1) + s, 5,
                           "0:0:" + std::to_string(s) + ":file://" + tmp / "t/only/" + sub->title +
                               "/inner/deeper/g"));
    }
  }
}

}  // namespace
}  // namespace orvexa
