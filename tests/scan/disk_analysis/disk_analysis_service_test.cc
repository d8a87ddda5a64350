#include "orvexa/scan/disk_analysis/disk_analysis_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "orvexa/units/log_service.h"
#include "scan/disk_analysis/disk_scan_fixture.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::DiskScan;
using testing::findRecord;
using testing::TempDir;

constexpr int kFeatureID = 1501;

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
    EXPECT_EQ(category->title, "All");
    EXPECT_EQ(category->kind, raw(CategoryInfomationKind::AnalysisDisk));
    EXPECT_EQ(category->finderID(), static_cast<int>(categoriesBefore));
    EXPECT_EQ(category->size, 0);
    EXPECT_TRUE(category->urls.empty());
    ASSERT_EQ(category->childrens.size(), 1u);
    FilePtr root = scan.root();
    EXPECT_EQ(root->size, 0);
    EXPECT_TRUE(root->childrens.empty());
    EXPECT_EQ(root->fileKind, raw(FilesKind::Folder));
    EXPECT_EQ(root->title, fs::path(c.path).filename().string());
    EXPECT_EQ(root->url.path(), c.path);
    EXPECT_TRUE(root->url.isDirectory());
    EXPECT_EQ(root->levelInt, 0);
    EXPECT_EQ(root->finderID(), 0);
    EXPECT_EQ(root->parentFinderID, category->finderID());
    EXPECT_EQ(root->parentCategoryInfo.lock(), category);
    EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::end));
  }
}

TEST(DiskAnalysisServiceTest, PackagesAreWalkedAsFolders) {
  TempDir tmp;
  tmp.writeFile("Tool.app/Contents/Info.plist", std::string(20, 'p'));
  tmp.writeFile("Tool.app/Contents/MacOS/tool", std::string(100, 't'));
  tmp.writeFile("Lib.framework/Versions/A/Lib", std::string(7, 'l'));
  tmp.writeFile("notes.txt", "abc");
  DiskScan scan(kFeatureID);
  ASSERT_TRUE(scan.run(tmp.path()));
  FilePtr root = scan.root();
  ASSERT_TRUE(root);
  EXPECT_EQ(root->size, 130);

  struct Expect {
    const char* path;
    int kind;
    int64_t size;
    size_t children;
  };
  const Expect expected[] = {
      {"Tool.app", raw(FilesKind::Folder), 120, 1},
      {"Tool.app/Contents", raw(FilesKind::Folder), 120, 2},
      {"Tool.app/Contents/MacOS/tool", raw(FilesKind::File), 100, 0},
      {"Lib.framework", raw(FilesKind::Folder), 7, 1},
      {"Lib.framework/Versions/A/Lib", raw(FilesKind::File), 7, 0},
      {"notes.txt", raw(FilesKind::File), 3, 0},
  };
  for (const Expect& e : expected) {
    SCOPED_TRACE(e.path);
    FilePtr record = findRecord(root, e.path);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->fileKind, e.kind);
    EXPECT_EQ(record->size, e.size);
    EXPECT_EQ(record->childrens.size(), e.children);
    EXPECT_EQ(record->url.path(), tmp / e.path);
  }
}

TEST(DiskAnalysisServiceTest, IdentifiersRestartInEveryFolderAndLinkToTheParent) {
  TempDir tmp;
  // Name order is byte order: "B" < "a" < "b.txt" < "c".
  tmp.writeFile("c/z.bin", "1");
  tmp.writeFile("c/y/deep.bin", "22");
  tmp.writeFile("c/x.bin", "333");
  tmp.writeFile("a/one", "4444");
  tmp.writeFile("b.txt", "55555");
  tmp.makeDir("B");
  DiskScan scan(kFeatureID);
  ASSERT_TRUE(scan.run(tmp.path()));
  FilePtr root = scan.root();
  ASSERT_TRUE(root);

  std::vector<std::string> topNames;
  for (const FilePtr& c : root->childrens) topNames.push_back(c->title);
  EXPECT_EQ(topNames, (std::vector<std::string>{"B", "a", "b.txt", "c"}));
  std::vector<std::string> cNames;
  for (const FilePtr& c : findRecord(root, "c")->childrens) cNames.push_back(c->title);
  EXPECT_EQ(cNames, (std::vector<std::string>{"x.bin", "y", "z.bin"}));

  for (const auto& [record, parent] : allRecords(root)) {
    SCOPED_TRACE(record->url.path());
    EXPECT_EQ(record->state, 0);
    if (parent) {
      const auto& siblings = parent->childrens;
      const auto position = std::find(siblings.begin(), siblings.end(), record) - siblings.begin();
      EXPECT_EQ(record->finderID(), position);
      EXPECT_EQ(record->parentFinderID, parent->finderID());
      EXPECT_EQ(record->levelInt, parent->levelInt + 1);
      EXPECT_EQ(record->parentFileInfo.lock(), parent);
    }
    // The identity text was computed with the final identifiers and size.
    EXPECT_EQ(record->hashValueString(),
              std::to_string(record->finderID()) + ":" + std::to_string(record->parentFinderID) +
                  ":" + std::to_string(record->size) + ":" + record->url.absoluteString());
  }
  EXPECT_EQ(findRecord(root, "c/y/deep.bin")->levelInt, 3);
  EXPECT_EQ(findRecord(root, "c")->size, 6);
  EXPECT_EQ(findRecord(root, "B")->size, 0);
  EXPECT_EQ(root->size, 15);
  EXPECT_EQ(scan.total.load(), 15);
  EXPECT_EQ(scan.category()->size, 15);

  // One report per top-level item, by its identifier, and the fraction
  // reaches 1.
  std::map<int, int64_t> singles(scan.singles.begin(), scan.singles.end());
  EXPECT_EQ(singles, (std::map<int, int64_t>{{0, 0}, {1, 4}, {2, 5}, {3, 6}}));
  ASSERT_FALSE(scan.percents.empty());
  EXPECT_FLOAT_EQ(scan.percents.back(), 1.0f);
}

// The expectation comes from du: `du --apparent-size -B1` sizes a folder
// by everything below it, the folders' own entry tables (st_size of each
// directory, usually 4096) included. Folders have no size of their own in
// the records (the system the engine was made for gives folders no file
// size), so each folder's expectation is du's figure less the st_size of
// every directory in it, itself included. No hard links are made: du counts
// an inode once, the walk once per link.
TEST(DiskAnalysisServiceTest, FolderSizesAgreeWithDuWithoutTheFoldersOwnSizes) {
  TempDir tmp;
  const std::string top = tmp.makeDir("tree");
  std::mt19937 random(1205);
  std::uniform_int_distribution<int> sizes(0, 5000);
  const std::vector<std::string> names = {"alpha", "Beta dir", "gamma.app", "δέλτα", "e"};
  std::vector<std::string> folders = {""};
  for (int depth = 0; depth < 3; ++depth) {
    std::vector<std::string> next;
    for (const std::string& f : folders) {
      for (int k = 0; k < 3; ++k) {
        std::string sub =
            (f.empty() ? "" : f + "/") + names[static_cast<size_t>(depth + k) % names.size()];
        tmp.makeDir("tree/" + sub);
        next.push_back(sub);
      }
    }
    folders.insert(folders.end(), next.begin(), next.end());
  }
  int n = 0;
  for (const std::string& f : folders) {
    for (int k = 0; k < 4; ++k) {
      std::string file = "tree/" + (f.empty() ? "" : f + "/") + "file " + std::to_string(n++);
      tmp.writeFile(file, std::string(static_cast<size_t>(sizes(random)), 'd'));
    }
  }
  // Links count with their own size and are never followed.
  ASSERT_EQ(::symlink("/usr/share", (top + "/alpha/link").c_str()), 0);
  tmp.makeDir("tree/Beta dir/empty");

  DiskScan scan(kFeatureID);
  ASSERT_TRUE(scan.run(top));
  FilePtr root = scan.root();
  ASSERT_TRUE(root);

  // du: one line per folder, "bytes<TAB>path".
  std::map<std::string, int64_t> du;
  {
    std::istringstream lines(testing::shellOutput("du --apparent-size -B1 '" + top + "'"));
    std::string line;
    while (std::getline(lines, line)) {
      size_t tab = line.find('\t');
      du[line.substr(tab + 1)] = std::stoll(line.substr(0, tab));
    }
  }
  std::map<std::string, int64_t> dirOwn;
  {
    std::istringstream lines(
        testing::shellOutput("find '" + top + "' -type d -printf '%s\\t%p\\n'"));
    std::string line;
    while (std::getline(lines, line)) {
      size_t tab = line.find('\t');
      dirOwn[line.substr(tab + 1)] = std::stoll(line.substr(0, tab));
    }
  }
  ASSERT_EQ(du.size(), dirOwn.size());
  size_t checked = 0;
  for (const auto& [record, parent] : allRecords(root)) {
    if (record->fileKind != raw(FilesKind::Folder)) continue;
    const std::string& path = record->url.path();
    SCOPED_TRACE(path);
    ASSERT_TRUE(du.count(path));
    int64_t ownTables = 0;
    for (const auto& [dir, own] : dirOwn) {
      if (dir == path || dir.rfind(path + "/", 0) == 0) ownTables += own;
    }
    EXPECT_EQ(record->size, du[path] - ownTables);
    ++checked;
  }
  EXPECT_EQ(checked, du.size());
  EXPECT_EQ(findRecord(root, "Beta dir/empty")->size, 0);
  EXPECT_EQ(findRecord(root, "alpha/link")->size,
            static_cast<int64_t>(std::string("/usr/share").size()));
  EXPECT_EQ(findRecord(root, "alpha/link")->fileKind, raw(FilesKind::File));
}

TEST(DiskAnalysisServiceTest, ASecondStartWhileOneRunsIsRefused) {
  TempDir tmp;
  tmp.writeFile("a", "1");
  DiskScan scan(kFeatureID);
  ScanStatusTable::set(kFeatureID, ScanState::start);
  const size_t offset = testing::logSize();
  scan.start(tmp.path());
  EXPECT_FALSE(scan.done.wait(std::chrono::milliseconds(300)));
  EXPECT_NE(testing::logSince(offset).find(":Info>:scanDiskAnalysisService Scanning\n"),
            std::string::npos);
  EXPECT_TRUE(scan.feature->categoryInfo.empty());
  EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::start));
}

}  // namespace
}  // namespace orvexa
