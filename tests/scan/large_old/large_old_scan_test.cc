#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <sstream>

#include "orvexa/model/module_information.h"
#include "orvexa/model/records.h"
#include "orvexa/platform/paths.h"
#include "orvexa/scan/large_old/large_and_old_file_service.h"
#include "orvexa/units/main_queue.h"
#include "support/sandbox.h"
#include "support/shared_checks.h"
#include "support/signal.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using K = LargeAndFileKind;
using S = LargeAndOldFileService;
using std::chrono::seconds;
using testing::Sandbox;
using testing::Signal;

constexpr int kFeatureID = 6;  // the catalogue's large-and-old-files feature

// A fresh copy of the catalogue's feature; `modules` keeps it alive.
FeaturePtr largeFeature(std::vector<ModulePtr>& modules) {
  modules = ModuleInformation::getDefault();
  return findFeatureByModuleType(modules, kLargeAndOldFilesModuleType);
}

CategoryPtr view(const CategoryPtr& all, K kind) {
  return (*all->childrenCateogry)[static_cast<size_t>(kind)];
}

// The views (by position) that hold `file`.
std::vector<K> viewsHolding(const CategoryPtr& all, const FilePtr& file) {
  std::vector<K> found;
  for (size_t i = 0; i < all->childrenCateogry->size(); ++i) {
    for (const FilePtr& f : (*all->childrenCateogry)[i]->childrens)
      if (f == file) found.push_back(static_cast<K>(i));
  }
  return found;
}

// A file record as the scans make them, at `path` (which need not exist).
FilePtr makeRecord(const std::string& path, int64_t size, Timestamp date, int finderID = 0) {
  return std::make_shared<FileInformation>(
      0, finderID, 0, path, Image{}, size, date, Url::fromPath(path, false), "", true, false,
      std::any{}, std::vector<FilePtr>{}, nullptr, raw(FilesKind::File), 0, nullptr);
}

// A file of `size` bytes that takes no room on disk.
std::string sparse(const Sandbox& sb, const std::string& path, off_t size) {
  std::string real = sb.file(path, std::string());
  EXPECT_EQ(::truncate(real.c_str(), size), 0) << real;
  return real;
}

// Lines of the log that mention this service, without their date prefix.
std::vector<std::string> serviceLines(const std::string& log) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(">:LargeAndOldScanService");
    if (at != std::string::npos) lines.push_back(line.substr(at + 2));
  }
  return lines;
}

class LargeOldScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScanStatusTable::erase(kFeatureID);
    feature_ = largeFeature(modules_);
    ASSERT_EQ(feature_->finderID, kFeatureID);
    all_ = S::allFilesCategory(feature_);
    ASSERT_TRUE(all_);
  }
  void TearDown() override { ScanStatusTable::erase(kFeatureID); }

  struct Outcome {
    int doneCalls = 0;
    int64_t total = -1;
    bool onMainQueue = false;
    std::vector<std::pair<std::string, int64_t>> progress;
    std::vector<std::string> log;  // serviceLines of the scan
  };

  // Runs a scan and waits for its `done`; checks the feature ended.
  Outcome scan() {
    auto outcome = std::make_shared<Outcome>();
    auto mu = std::make_shared<std::mutex>();
    const size_t offset = testing::logSize();
    Signal done;
    S::scanLargeAndOldFile(
        feature_,
        [outcome, mu](const std::string& path, int64_t size) {
          std::lock_guard lock(*mu);
          outcome->progress.emplace_back(path, size);
        },
        nullptr, [](int, int64_t) { ADD_FAILURE() << "singleDone is not used"; },
        [&, outcome, mu](const FeaturePtr& f, int64_t total) {
          EXPECT_EQ(f, feature_);
          std::lock_guard lock(*mu);
          outcome->doneCalls += 1;
          outcome->total = total;
          outcome->onMainQueue = MainQueue::isMainThread();
          done.notify();
        },
        queue_);
    EXPECT_TRUE(done.wait());
    queue_->waitUntilIdle();
    MainQueue::sync([] {});  // a second `done` would have come by now
    EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::end));
    std::lock_guard lock(*mu);
    EXPECT_EQ(outcome->doneCalls, 1);
    EXPECT_TRUE(outcome->onMainQueue);
    outcome->log = serviceLines(testing::logSince(offset));
    return *outcome;
  }

  // Puts a fake query tool in the paths table: it writes its arguments to
  // `args_` and prints what `body` (shell) prints.
  void fakeQueryTool(const std::string& body) {
    args_ = sb_.root() + "/fake-mdfind.args";
    const std::string script =
        sb_.file("/fake-mdfind", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                                     args_ + "'\n" + body + "\n");
    EXPECT_EQ(::chmod(script.c_str(), 0755), 0);
    Paths::shared().setTool("mdfind", script);
  }

  Sandbox sb_;
  std::vector<ModulePtr> modules_;
  FeaturePtr feature_;
  CategoryPtr all_;
  std::string args_;
  std::shared_ptr<SerialGCDService> queue_ =
      std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
};

TEST_F(LargeOldScanTest, WithoutTheQueryToolTheWalkRecordsEveryVisibleRegularFile) {
  std::string movie = sparse(sb_, "~/Movies/holiday.mp4", 600'000'000);
  std::string archive = sparse(sb_, "~/Documents/backup.zip", 150'000'000);
  testing::setTimes(archive, std::time(nullptr) - 400 * 86400, std::time(nullptr) - 400 * 86400);
  std::string note = sb_.file("~/Documents/note.txt", "twelve bytes");
  testing::setTimes(note, std::time(nullptr) - 10 * 86400, std::time(nullptr) - 10 * 86400);
  std::string empty = sb_.file("~/empty", std::string());
  std::string picture = sb_.file("~/Pictures/scan", std::string("\xFF\xD8\xFF\xE0 jpeg data", 14));
  // Not regular files, hidden, or inside a package: never listed.
  sparse(sb_, "~/.cache/huge.bin", 700'000'000);
  sb_.file("~/Documents/.secret.zip", "x");
  sparse(sb_, "~/Applications/Tool.app/Contents/Resources/data.pak", 90'000'000);
  ASSERT_EQ(::symlink(movie.c_str(), sb_.path("~/link.mp4").c_str()), 0);
  ASSERT_EQ(::mkfifo(sb_.path("~/pipe").c_str(), 0600), 0);
  all_->state = 1;
  all_->setFinderID(0);

  Outcome outcome = scan();
  EXPECT_EQ(outcome.log, (std::vector<std::string>{"LargeAndOldScanService Start",
                                                   "LargeAndOldScanService Code = 2",
                                                   "LargeAndOldScanService Finish"}));
  std::map<std::string, FilePtr> files;
  for (size_t i = 0; i < all_->childrens.size(); ++i) {
    const FilePtr& f = all_->childrens[i];
    files[f->url.path()] = f;
    // Numbered in order, ticked as the all-files category is, filed under it.
    EXPECT_EQ(std::tuple(f->finderID(), f->state, f->parentCategoryInfo.lock()),
              std::tuple(static_cast<int>(i), 1, all_));
  }
  ASSERT_EQ(files.size(), 5u);
  EXPECT_EQ(outcome.total, 600'000'000 + 150'000'000 + 12 + 14);
  EXPECT_EQ(all_->size, outcome.total);
  const std::pair<std::string, std::vector<K>> views[] = {
      {movie, {K::Movies, K::LastWeek, K::Huge}}, {archive, {K::Archives, K::OneYear, K::Average}},
      {note, {K::Other, K::OneWeek, K::Small}},   {picture, {K::Picture, K::LastWeek, K::Small}},
      {empty, {K::Other, K::LastWeek, K::Small}},
  };
  for (const auto& [path, expected] : views)
    EXPECT_EQ(files.count(path) ? viewsHolding(all_, files[path]) : std::vector<K>{}, expected)
        << path;
  // One progress report per record, with its path and size.
  ASSERT_EQ(outcome.progress.size(), 5u);
  for (const auto& [path, size] : outcome.progress) EXPECT_EQ(files.at(path)->size, size);
}

// A first category without exactly twelve views is never filed into (not by
// the scan, not by a direct call); its rebuild still renumbers and sums.
TEST_F(LargeOldScanTest, AMalformedCatalogueFilesNothingAndStillFinishes) {
  sb_.file("~/a.txt", "aaaa");
  auto views = [](const FeaturePtr& f) -> auto& { return *f->categoryInfo[0]->childrenCateogry; };
  const std::pair<const char*, std::function<void(const FeaturePtr&)>> cases[] = {
      {"eleven views", [&](const FeaturePtr& f) { views(f).pop_back(); }},
      {"thirteen views",
       [&](const FeaturePtr& f) { views(f).push_back(std::make_shared<CategoryInformation>()); }},
      {"no view list", [](const FeaturePtr& f) { f->categoryInfo[0]->childrenCateogry.reset(); }},
      {"a null view", [&](const FeaturePtr& f) { views(f)[3] = nullptr; }},
      {"a null first category", [](const FeaturePtr& f) { f->categoryInfo[0] = nullptr; }},
      {"no category", [](const FeaturePtr& f) { f->categoryInfo.clear(); }},
  };
  for (const auto& [what, damage] : cases) {
    SCOPED_TRACE(what);
    ScanStatusTable::erase(kFeatureID);
    feature_ = largeFeature(modules_);
    CategoryPtr all = feature_->categoryInfo[0];
    damage(feature_);
    EXPECT_EQ(S::allFilesCategory(feature_), nullptr);
    Outcome outcome = scan();
    EXPECT_EQ(std::tuple(outcome.total, outcome.progress.size(), all->childrens.size()),
              std::tuple(0, 0u, 0u));
    EXPECT_EQ(outcome.log, (std::vector<std::string>{
                               "LargeAndOldScanService Start",
                               "LargeAndOldScanService Catalogue Error: the feature's first "
                               "category does not hold the twelve sub-categories; nothing is filed",
                               "LargeAndOldScanService Finish"}));

    if (feature_->categoryInfo.empty() || !feature_->categoryInfo[0]) continue;  // views intact
    const auto now = std::chrono::system_clock::now();
    S::addToChildrenCategory(all, makeRecord("/x", 1, now), now, now, now);
    size_t filed = 0;
    for (const CategoryPtr& sub :
         all->childrenCateogry ? *all->childrenCateogry : std::vector<CategoryPtr>{})
      filed += sub ? sub->childrens.size() : 0;
    EXPECT_EQ(filed, 0u);
    all->childrens = {makeRecord("/x", 4, now, 7)};
    EXPECT_EQ(std::get<0>(S::sortCategory(all)), 0);
    EXPECT_EQ(std::pair(all->size, all->childrens[0]->finderID()), std::pair(int64_t{4}, 0));
  }
  EXPECT_EQ(S::allFilesCategory(nullptr), nullptr);
  EXPECT_EQ(std::get<0>(S::sortCategory(nullptr)), 0);
  S::addToChildrenCategory(nullptr, makeRecord("/x", 1, {}), {}, {}, {});
}

// The tool's word is taken as it is: no size is checked again; what is not
// a regular file inside the home is left out; output that is not UTF-8
// gives an empty result (and empties what an earlier scan left).
TEST_F(LargeOldScanTest, TheQueryToolIsAskedForTheBigFilesOfTheHome) {
  const std::string home = sb_.home();
  sparse(sb_, "~/Movies/at-limit.mov", 52'428'800);
  std::string above = sparse(sb_, "~/Movies/above.mov", 52'428'801);
  std::string huge = sparse(sb_, "~/Downloads/disk.zip", 600'000'000);
  std::string small = sb_.file("~/Documents/small.txt", "small");
  // Big files the tool may report that lie outside the home.
  std::string outside = sparse(sb_, "/Volumes/Disk/big.mov", 60'000'000);
  std::string sibling = sparse(sb_, "/Users/tester2/big.mov", 60'000'000);
  sb_.dir("~/Folder.mov/");
  // The fake answers as the index does (regular files strictly larger than
  // the size in the query, under the folder given), then adds lines of its
  // own.
  fakeQueryTool(
      "limit=${3#kMDItemFSSize > }\nfind \"$2\" -type f -size +\"${limit}\"c | sort\n"
      "printf '%s\\n' '' '" +
      outside + "' '" + sibling + "' '" + home + "' '" + home + "/Folder.mov' '" + home +
      "/gone.mov' '" + small + "'");
  Outcome outcome = scan();
  EXPECT_EQ(testing::readFile(args_), "-onlyin\n" + home + "\nkMDItemFSSize > 52428800\n");
  EXPECT_EQ(outcome.log, (std::vector<std::string>{"LargeAndOldScanService Start",
                                                   "LargeAndOldScanService Finish"}));
  std::vector<std::string> paths;
  for (const FilePtr& f : all_->childrens) paths.push_back(f->url.path());
  // In output order: find's sorted lines, then the extra ones.
  EXPECT_EQ(paths, (std::vector<std::string>{huge, above, small}));
  EXPECT_EQ(outcome.total, 600'000'000 + 52'428'801 + 5);
  EXPECT_EQ(viewsHolding(all_, all_->childrens[0]),
            (std::vector<K>{K::Archives, K::LastWeek, K::Huge}));
  EXPECT_EQ(viewsHolding(all_, all_->childrens[1]),
            (std::vector<K>{K::Movies, K::LastWeek, K::Small}));
  EXPECT_EQ(all_->childrens[2]->finderID(), 2);

  fakeQueryTool("printf '%s\\n\\377\\376\\n' '" + huge + "'");
  EXPECT_EQ(scan().total, 0);
  for (const CategoryPtr& v : *all_->childrenCateogry) EXPECT_TRUE(v->childrens.empty());
  EXPECT_TRUE(all_->childrens.empty());
}

// A fixed "now" and the limits a scan starting then would use.
const Timestamp kNow = Timestamp(seconds(1'700'000'000));
const Timestamp kYear = kNow - S::kOneYearInterval;
const Timestamp kMonth = kNow - S::kOneMonthInterval;
const Timestamp kWeek = kNow - S::kOneWeekInterval;

// Size and age views at their exact limits: a date is filed under the first
// limit it is earlier than. The type of a file that is not there is Other.
TEST(LargeOldFilingTest, SizeAndAgeViewsAtTheExactLimits) {
  const struct {
    const char* what;
    int64_t size;
    Timestamp date;
    K sizeView;
    K ageView;
  } cases[] = {
      {"huge limit, now", 524'288'000, kNow, K::Huge, K::LastWeek},
      {"a byte under, future", 524'288'000 - 1, kNow + seconds(3600), K::Average, K::LastWeek},
      {"average limit, week limit", 104'857'600, kWeek, K::Average, K::LastWeek},
      {"a byte under, a second before the week", 104'857'600 - 1, kWeek - seconds(1), K::Small,
       K::OneWeek},
      {"empty, month limit", 0, kMonth, K::Small, K::OneWeek},
      {"a TiB, a second before the month", int64_t{1} << 40, kMonth - seconds(1), K::Huge,
       K::OneMonth},
      {"year limit", 10, kYear, K::Small, K::OneMonth},
      {"a second before the year", 10, kYear - seconds(1), K::Small, K::OneYear},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<ModulePtr> modules;
    CategoryPtr all = S::allFilesCategory(largeFeature(modules));
    FilePtr file = makeRecord("/nonexistent/f", c.size, c.date);
    S::addToChildrenCategory(all, file, kYear, kMonth, kWeek);
    EXPECT_EQ(viewsHolding(all, file), (std::vector<K>{K::Other, c.ageView, c.sizeView}));
    EXPECT_EQ(view(all, c.sizeView)->size, c.size);
  }
}

TEST(LargeOldFilingTest, TypeOfAFileAndOfATypeTree) {
  const std::pair<std::vector<std::string>, K> trees[] = {
      {{"public.zip-archive", "public.data", "public.image"}, K::Archives},
      {{"com.example.unknown", "public.image", "public.zip-archive"}, K::Picture},
      {{"public.mpeg-4", "public.movie", "public.audiovisual-content"}, K::Movies},
      {{"public.mp3", "public.audio", "public.audiovisual-content"}, K::Music},
      // "audiovisual" contains "audio": reached before any movie entry, Music.
      {{"public.audiovisual-content", "public.movie"}, K::Music},
      // Within one entry "image" is checked before "archive".
      {{"com.example.disk-image-archive"}, K::Picture},
      {{"PUBLIC.IMAGE"}, K::Picture},
      {{"Com.Example.ARCHIVE"}, K::Archives},
      {{"public.plain-text", "public.text", "public.data"}, K::Other},
      {{}, K::Other},
  };
  for (const auto& [tree, type] : trees)
    EXPECT_EQ(S::sortTypeTree(tree), raw(type)) << ::testing::PrintToString(tree);

  // A file's type comes from the item at its URL (null content: not written).
  testing::TempDir dir;
  const std::tuple<const char*, const char*, K> files[] = {
      {"a.zip", "x", K::Archives},
      {"b.JPG", "x", K::Picture},
      {"c.mp4", "x", K::Movies},
      {"d.mp3", "x", K::Music},
      {"noext", "\x89PNG\r\n\x1a\n0000", K::Picture},
      {"plain", "hello, world", K::Other},
      {"gone.zip", nullptr, K::Other},
  };
  for (const auto& [name, content, type] : files) {
    if (content) dir.writeFile(name, content);
    EXPECT_EQ(S::sortTypeFile(makeRecord(dir / name, 1, kNow)), raw(type)) << name;
  }
  EXPECT_EQ(S::sortTypeFile(nullptr), raw(K::Other));
}

TEST(LargeOldFilingTest, SortCategoryTakesOutDeletedFilesAndReportsFailures) {
  testing::TempDir dir;
  std::vector<ModulePtr> modules;
  CategoryPtr all = S::allFilesCategory(largeFeature(modules));
  all->setFinderID(3);  // the records' parent identifier does not follow it
  const Timestamp now = std::chrono::system_clock::now();  // the rebuild files by the clock
  const std::tuple<const char*, int64_t, int, DeleteStatus, const char*> entries[] = {
      {"deleted.mp4", 600'000'000, 1, DeleteStatus::DeleteSuccess, ""},
      {"failed.zip", 200'000'000, 1, DeleteStatus::DeleteError, "Permission denied"},
      {"unticked.txt", 70'000'000, 0, DeleteStatus::None, ""},
      {"mixed.txt", 80'000'000, -1, DeleteStatus::DeleteSuccess, ""},
  };
  for (const auto& [name, size, state, status, error] : entries) {
    FilePtr f = makeRecord(dir.writeFile(name, "x"), size, now - seconds(40 * 86400),
                           static_cast<int>(all->childrens.size()));
    f->state = state;
    f->deleteStatus = raw(status);
    f->deleteErrorDesc = error;
    all->childrens.push_back(f);
    all->size += f->size;
    S::addToChildrenCategory(all, f, now - S::kOneYearInterval, now - S::kOneMonthInterval,
                             now - S::kOneWeekInterval);
  }
  const std::vector<FilePtr> left(all->childrens.begin() + 1, all->childrens.end());

  auto [deleted, failures, errors] = S::sortCategory(all);
  EXPECT_EQ(std::tuple(deleted, failures, errors),
            std::tuple(600'000'000, std::vector<FilePtr>{left[0]}, "Permission denied,"));
  ASSERT_EQ(all->childrens, left);
  for (size_t i = 0; i < all->childrens.size(); ++i) {
    EXPECT_EQ(all->childrens[i]->finderID(), static_cast<int>(i));
    EXPECT_EQ(all->childrens[i]->hashValueString().substr(0, 4), std::to_string(i) + ":0:");
  }
  EXPECT_EQ(all->size, 350'000'000);
  // The views hold exactly what is left, filed again.
  EXPECT_EQ(view(all, K::Movies)->childrens.size() + view(all, K::Huge)->childrens.size(), 0u);
  EXPECT_EQ(view(all, K::Archives)->childrens, std::vector<FilePtr>{left[0]});
  EXPECT_EQ(view(all, K::Other)->size, 150'000'000);
  EXPECT_EQ(view(all, K::OneMonth)->childrens, left);
  EXPECT_EQ(view(all, K::Small)->size, 150'000'000);

  // Again: the failed record is still ticked and reported.
  EXPECT_EQ(S::sortCategory(all),
            std::tuple(0, std::vector<FilePtr>{left[0]}, "Permission denied,"));
  EXPECT_EQ(all->childrens.size(), 3u);
}

}  // namespace
}  // namespace orvexa
