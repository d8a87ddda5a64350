#include "orvexa/scan/disk_analysis/disk_analysis_service.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "orvexa/units/log_service.h"
#include "scan/disk_analysis/disk_scan_fixture.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::DiskScan;
using testing::findRecord;
using testing::Signal;
using testing::TempDir;

constexpr int kFeatureID = 1501;
constexpr int kSortFeatureID = 1503;
constexpr int kWalkFeatureID = 1502;
constexpr int kTicked = 1;
constexpr int kMixed = -1;

// Every record below `root`, with its parent (null for the root), depth
// first without recursion.
std::vector<std::pair<FilePtr, FilePtr>> allRecords(const FilePtr& root) {
  std::vector<std::pair<FilePtr, FilePtr>> out;
  std::vector<std::pair<FilePtr, FilePtr>> pending{{root, nullptr}};
  while (!pending.empty()) {
    auto item = pending.back();
    pending.pop_back();
    out.push_back(item);
    for (const FilePtr& c : item.first->childrens) pending.emplace_back(c, item.first);
  }
  return out;
}

TEST(DiskAnalysisServiceTest, FolderWithoutContentFinishesAtOnceWithAnEmptyRoot) {
  TempDir tmp;
  struct Case {
    const char* name;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"empty folder", tmp.makeDir("empty")},
      {"missing folder", tmp / "missing"},
      {"a file, not a folder", tmp.writeFile("plain.txt", "12345")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DiskScan scan(kFeatureID);
    const size_t categoriesBefore = scan.feature->categoryInfo.size();
    ASSERT_TRUE(scan.run(c.path));
    EXPECT_EQ(scan.doneCalls.load(), 1);
    EXPECT_EQ(scan.total.load(), 0);
    ASSERT_EQ(scan.feature->categoryInfo.size(), categoriesBefore + 1);
    CategoryPtr category = scan.category();
    EXPECT_EQ(category->size, 0);
    ASSERT_EQ(category->childrens.size(), 1u);
    FilePtr root = scan.root();
    EXPECT_EQ(root->allocatedSize(), 0);
    EXPECT_TRUE(root->childrens.empty());
    EXPECT_EQ(root->url.path(), c.path);
    EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::end));
  }
}

// `du --apparent-size -B1` counts the folders' own entry tables (their
// st_size), which the records never do: each folder's expectation is du's
// figure less the st_size of every directory in it, itself included. No hard
// links: du counts an inode once, the walk once per link.
TEST(DiskAnalysisServiceTest, IdentifiersRestartInEveryFolderAndSizesAgreeWithDu) {
  TempDir tmp;
  // Name order is byte order: "B" < "Tool.app" < "a" < "b.txt" < "c".
  tmp.writeFile("c/z.bin", "1");
  tmp.writeFile("c/y y/deep.bin", "22");
  tmp.writeFile("c/x.bin", "333");
  tmp.writeFile("a/one", "4444");
  tmp.writeFile("a/\xCE\xB4\xCE\xAD\xCE\xBB\xCF\x84\xCE\xB1", "666666");
  // Links count with their own size and are never followed.
  ASSERT_EQ(::symlink("/usr/share", (tmp / "a/link").c_str()), 0);
  tmp.writeFile("b.txt", "55555");
  tmp.makeDir("B/empty");
  // Packages are walked like any folder.
  tmp.writeFile("Tool.app/Contents/MacOS/tool", std::string(100, 't'));
  DiskScan scan(kFeatureID);
  ASSERT_TRUE(scan.run(tmp.path()));
  FilePtr root = scan.root();
  ASSERT_TRUE(root);

  std::vector<std::string> topNames;
  for (const FilePtr& c : root->childrens) topNames.push_back(c->title);
  EXPECT_EQ(topNames, (std::vector<std::string>{"B", "Tool.app", "a", "b.txt", "c"}));
  std::vector<std::string> cNames;
  for (const FilePtr& c : findRecord(root, "c")->childrens) cNames.push_back(c->title);
  EXPECT_EQ(cNames, (std::vector<std::string>{"x.bin", "y y", "z.bin"}));

  // "bytes<TAB>path" lines: du's per folder, and each folder's own st_size.
  auto table = [](const std::string& command) {
    std::map<std::string, int64_t> out;
    std::istringstream lines(testing::shellOutput(command));
    for (std::string line; std::getline(lines, line);) {
      const size_t tab = line.find('\t');
      out[line.substr(tab + 1)] = std::stoll(line.substr(0, tab));
    }
    return out;
  };
  std::map<std::string, int64_t> du = table("du --apparent-size -B1 '" + tmp.path() + "'");
  const std::map<std::string, int64_t> dirOwn =
      table("find '" + tmp.path() + "' -type d -printf '%s\\t%p\\n'");
  size_t folders = 0;
  for (const auto& [record, parent] : allRecords(root)) {
    SCOPED_TRACE(record->title);
    EXPECT_EQ(record->state, 0);
    if (parent) {
      const auto& siblings = parent->childrens;
      const auto position = std::find(siblings.begin(), siblings.end(), record) - siblings.begin();
      EXPECT_EQ(record->finderID(), position);
      EXPECT_EQ(record->parentFinderID, parent->finderID());
      EXPECT_EQ(record->levelInt, parent->levelInt + 1);
      EXPECT_EQ(record->parentFileInfo.lock(), parent);
    }
    // The identity text shows the final identifiers and size, and the path
    // the record's names make.
    const Url url =
        parent ? parent->fileUrl().appending(record->title, record->fileKind == 0) : record->url;
    EXPECT_EQ(record->hashValueString(),
              std::to_string(record->finderID()) + ":" + std::to_string(record->parentFinderID) +
                  ":" + std::to_string(record->size) + ":" + url.absoluteString());
    if (record->fileKind != raw(FilesKind::Folder)) continue;
    ++folders;
    const std::string path = record->fileUrl().path();
    ASSERT_TRUE(du.count(path)) << path;
    int64_t ownTables = 0;
    for (const auto& [dir, own] : dirOwn) {
      if (dir == path || dir.rfind(path + "/", 0) == 0) ownTables += own;
    }
    EXPECT_EQ(record->size, du[path] - ownTables);
  }
  EXPECT_EQ(folders, du.size());
  EXPECT_EQ(findRecord(root, "c/y y/deep.bin")->levelInt, 3);
  EXPECT_EQ(findRecord(root, "Tool.app/Contents/MacOS/tool")->fileKind, raw(FilesKind::File));
  EXPECT_EQ(findRecord(root, "a/link")->size, 10);
  EXPECT_EQ(findRecord(root, "a/link")->fileKind, raw(FilesKind::File));
  EXPECT_EQ(scan.total.load(), 131);
  EXPECT_EQ(scan.category()->size, 131);

  // One report per top-level item, by its identifier, and the fraction
  // reaches 1.
  std::map<int, int64_t> singles(scan.singles.begin(), scan.singles.end());
  EXPECT_EQ(singles, (std::map<int, int64_t>{{0, 0}, {1, 100}, {2, 20}, {3, 5}, {4, 6}}));
  ASSERT_FALSE(scan.percents.empty());
  EXPECT_FLOAT_EQ(scan.percents.back(), 1.0f);
}

// After a scan, plays the clean service (ticks records, deletes the ticked
// files that are to succeed, writes the outcomes into the records), then
// tidies the tree.
TEST(SortCategoryTest, TakesDeletedRecordsOutAndKeepsFailedOnesUnticked) {
  TempDir tmp;
  const std::pair<const char*, size_t> files[] = {
      {"keep.txt", 10},  {"gone.txt", 20},     {"failed.txt", 30},   {"emptied/a", 40},
      {"emptied/b", 50}, {"partial/c", 60},    {"partial/d", 70},    {"mixed/e", 80},
      {"mixed/f", 90},   {"mixed/sub/g", 100}, {"nested/inner/x", 5}};
  for (const auto& [name, size] : files)
    tmp.writeFile(std::string("tree/") + name, std::string(size, 'x'));
  DiskScan scan(kSortFeatureID);
  ASSERT_TRUE(scan.run(tmp / "tree"));
  const FilePtr root = scan.root();
  ASSERT_EQ(root->size, 555);
  auto at = [&root](const std::string& path) { return findRecord(root, path); };
  // `outcome` is what the clean did (files: removed from disk on success).
  auto clean = [&at](const std::string& path, int state,
                     DeleteStatus outcome = DeleteStatus::None) {
    FilePtr r = at(path);
    ASSERT_TRUE(r) << path;
    r->state = state;
    r->deleteStatus = raw(outcome);
    if (outcome == DeleteStatus::DeleteSuccess && r->childrens.empty()) {
      ASSERT_TRUE(fs::remove(r->fileUrl().path()));
    }
    if (outcome == DeleteStatus::DeleteError) r->deleteErrorDesc = "Operation not permitted";
  };
  root->state = kMixed;
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
  // A folder the user may not remove leaves the tree but stays on disk.
  at("mixed/sub")->canDelete = false;

  auto [removed, records, text] = DiskAnalysisService::sortCategory(scan.category());

  EXPECT_EQ(removed, 20 + 40 + 50 + 60 + 80 + 100 + 5);
  EXPECT_EQ(text, "");
  std::set<std::string> removedPaths;
  for (const FilePtr& r : records) {
    // Out of the tree, each keeps its own path.
    removedPaths.insert(r->url.path());
    EXPECT_TRUE(r->childrens.empty()) << r->url.path();
  }
  EXPECT_EQ(removedPaths, (std::set<std::string>{tmp / "tree/gone.txt", tmp / "tree/emptied",
                                                 tmp / "tree/partial/c", tmp / "tree/mixed/e",
                                                 tmp / "tree/mixed/sub", tmp / "tree/nested/inner",
                                                 tmp / "tree/nested"}));

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
  std::vector<std::string> left;
  for (const FilePtr& c : root->childrens) left.push_back(c->title);
  EXPECT_EQ(left, (std::vector<std::string>{"failed.txt", "keep.txt", "mixed", "partial"}));
  EXPECT_EQ(root->size, 10 + 30 + 70 + 90);
  EXPECT_EQ(scan.category()->size, root->size);

  // Folders whose whole content went are removed from disk; the others stay.
  EXPECT_FALSE(fs::exists(tmp / "tree/emptied"));
  EXPECT_TRUE(fs::is_directory(tmp / "tree/mixed/sub"));
  EXPECT_FALSE(fs::exists(tmp / "tree/nested"));
  EXPECT_TRUE(fs::exists(tmp / "tree/partial"));
}

// One top-level folder holds everything: the walkers share its sub-folders
// out among themselves, and the subtree is summed and numbered once, after
// its last piece. Repeated, so that the hand-outs fall differently.
TEST(DiskAnalysisWalkConcurrencyTest, ASharedOutSubtreeIsSummedAndNumberedOnce) {
  TempDir tmp;
  constexpr int kFolders = 60;
  for (int s = 0; s < kFolders; ++s) {
    const std::string folder = "t/only/s" + std::to_string(s);
    for (int k = 0; k <= s % 4; ++k) tmp.writeFile(folder + "/f" + std::to_string(k), "12345");
    tmp.writeFile(folder + "/inner/deeper/g", std::string(static_cast<size_t>(s), 'g'));
  }
  int64_t expected = 0;
  for (int s = 0; s < kFolders; ++s) expected += 5 * (s % 4 + 1) + s;
  for (int run = 0; run < 4; ++run) {
    SCOPED_TRACE(run);
    DiskScan scan(kWalkFeatureID);
    ASSERT_TRUE(scan.run(tmp / "t"));
    FilePtr only = testing::findRecord(scan.root(), "only");
    ASSERT_TRUE(only);
    EXPECT_EQ(only->size, expected);
    ASSERT_EQ(only->childrens.size(), static_cast<size_t>(kFolders));
    for (size_t i = 0; i < only->childrens.size(); ++i) {
      const FilePtr& sub = only->childrens[i];
      const int s = std::stoi(sub->title.substr(1));
      EXPECT_EQ(sub->finderID(), static_cast<int>(i));
      EXPECT_EQ(sub->parentFinderID, only->finderID());
      EXPECT_EQ(sub->size, 5 * (s % 4 + 1) + s) << sub->title;
      FilePtr g = testing::findRecord(sub, "inner/deeper/g");
      ASSERT_TRUE(g);
      EXPECT_EQ(g->levelInt, 5);
      EXPECT_EQ(g->hashValueString(), "0:0:" + std::to_string(s) + ":file://" + tmp / "t/only" +
                                          "/" + sub->title + "/inner/deeper/g");
    }
  }
}

}  // namespace
}  // namespace orvexa
