#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "orvexa/model/module_information.h"
#include "orvexa/model/records.h"
#include "orvexa/platform/paths.h"
#include "orvexa/scan/large_old/large_and_old_file_service.h"
#include "orvexa/units/main_queue.h"
#include "support/sandbox.h"
#include "support/signal.h"
#include "support/temp_dir.h"

// The catalogue's large-and-old-files feature, and records to file into it.
namespace orvexa::testing {

// A fresh copy of the catalogue's feature; `modules` keeps it alive.
inline FeaturePtr largeFeature(std::vector<ModulePtr>& modules) {
  modules = ModuleInformation::getDefault();
  return findFeatureByModuleType(modules, kLargeAndOldFilesModuleType);
}

inline CategoryPtr view(const CategoryPtr& all, LargeAndFileKind kind) {
  return (*all->childrenCateogry)[static_cast<size_t>(kind)];
}

// The views (by position) that hold `file`.
inline std::vector<LargeAndFileKind> viewsHolding(const CategoryPtr& all, const FilePtr& file) {
  std::vector<LargeAndFileKind> found;
  for (size_t i = 0; i < all->childrenCateogry->size(); ++i) {
    for (const FilePtr& f : (*all->childrenCateogry)[i]->childrens) {
      if (f == file) found.push_back(static_cast<LargeAndFileKind>(i));
    }
  }
  return found;
}

// A file record as the scans make them, at `path` (which need not exist).
inline FilePtr makeRecord(const std::string& path, int64_t size, Timestamp date, int finderID = 0) {
  return std::make_shared<FileInformation>(
      0, finderID, 0, path, Image{}, size, date, Url::fromPath(path, false), "", true, false,
      std::any{}, std::vector<FilePtr>{}, nullptr, raw(FilesKind::File), 0, nullptr);
}

}  // namespace orvexa::testing

namespace orvexa {
namespace {

using K = LargeAndFileKind;
using S = LargeAndOldFileService;
using std::chrono::seconds;
using testing::Sandbox;
using testing::Signal;

constexpr int kFeatureID = 6;  // the catalogue's large-and-old-files feature

// A file of `size` bytes that takes no room on disk.
std::string sparse(const Sandbox& sb, const std::string& path, off_t size) {
  std::string real = sb.file(path, std::string());
  EXPECT_EQ(::truncate(real.c_str(), size), 0) << real;
  return real;
}

void setModified(const std::string& path, std::chrono::system_clock::time_point when) {
  timespec times[2];
  auto since = when.time_since_epoch();
  times[0].tv_sec = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  times[0].tv_nsec = 0;
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::map<std::string, FilePtr> byPath(const CategoryPtr& category) {
  std::map<std::string, FilePtr> files;
  for (const FilePtr& f : category->childrens) files[f->url.path()] = f;
  return files;
}

// Lines of the log that mention this service, without their date prefix.
std::vector<std::string> serviceLines(const std::string& log) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(start, end - start);
    size_t at = line.find(">:LargeAndOldScanService");
    if (at != std::string::npos) lines.push_back(line.substr(at + 2));
    start = end + 1;
  }
  return lines;
}

class LargeOldScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScanStatusTable::erase(kFeatureID);
    feature_ = testing::largeFeature(modules_);
    ASSERT_TRUE(feature_);
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
  };

  // Runs a scan and waits for its `done`. `onProgress` runs on the thread
  // that files each record.
  Outcome scan(std::function<void(const std::string&)> onProgress = nullptr) {
    auto outcome = std::make_shared<Outcome>();
    auto mu = std::make_shared<std::mutex>();
    Signal done;
    S::scanLargeAndOldFile(
        feature_,
        [outcome, mu, onProgress](const std::string& path, int64_t size) {
          {
            std::lock_guard lock(*mu);
            outcome->progress.emplace_back(path, size);
          }
          if (onProgress) onProgress(path);
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
    std::lock_guard lock(*mu);
    return *outcome;
  }

  // Puts a fake query tool in the paths table: it records its arguments in
  // `args` and prints what `body` (shell) prints.
  std::string fakeQueryTool(const std::string& body) {
    std::string script = sb_.root() + "/fake-mdfind";
    args_ = sb_.root() + "/fake-mdfind.args";
    sb_.file("/fake-mdfind", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                                 args_ + "'\n" + body + "\n");
    EXPECT_EQ(::chmod(script.c_str(), 0755), 0);
    Paths::shared().setTool("mdfind", script);
    return script;
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
  const auto now = std::chrono::system_clock::now();
  std::string movie = sparse(sb_, "~/Movies/holiday.mp4", 600'000'000);
  std::string archive = sparse(sb_, "~/Documents/backup.zip", 150'000'000);
  setModified(archive, now - std::chrono::hours(24 * 400));
  std::string note = sb_.file("~/Documents/note.txt", "twelve bytes");
  setModified(note, now - std::chrono::hours(24 * 10));
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

  size_t offset = testing::logSize();
  Outcome outcome = scan();
  EXPECT_EQ(outcome.doneCalls, 1);
  EXPECT_TRUE(outcome.onMainQueue);
  EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::end));
  EXPECT_EQ(
      serviceLines(testing::logSince(offset)),
      (std::vector<std::string>{"LargeAndOldScanService Start", "LargeAndOldScanService Code = 2",
                                "LargeAndOldScanService Finish"}));

  auto files = byPath(all_);
  ASSERT_EQ(files.size(), 5u);
  EXPECT_EQ(outcome.total, 600'000'000 + 150'000'000 + 12 + 14);
  EXPECT_EQ(all_->size, outcome.total);
  for (size_t i = 0; i < all_->childrens.size(); ++i) {
    const FilePtr& f = all_->childrens[i];
    EXPECT_EQ(f->finderID(), static_cast<int>(i)) << f->url.path();
    EXPECT_EQ(f->state, 1);  // the all-files category's tick
    EXPECT_EQ(f->parentCategoryInfo.lock(), all_);
  }
  const std::pair<std::string, std::vector<K>> views[] = {
      {movie, {K::Movies, K::LastWeek, K::Huge}}, {archive, {K::Archives, K::OneYear, K::Average}},
      {note, {K::Other, K::OneWeek, K::Small}},   {picture, {K::Picture, K::LastWeek, K::Small}},
      {empty, {K::Other, K::LastWeek, K::Small}},
  };
  for (const auto& [path, expected] : views) {
    ASSERT_EQ(files.count(path), 1u) << path;
    EXPECT_EQ(testing::viewsHolding(all_, files[path]), expected) << path;
  }
  // One progress report per record, with its path and size.
  ASSERT_EQ(outcome.progress.size(), 5u);
  for (const auto& [path, size] : outcome.progress) EXPECT_EQ(files.at(path)->size, size);
}

// A first category without exactly twelve views is never filed into (not by
// the scan, not by a direct call); its rebuild still renumbers and sums.
TEST_F(LargeOldScanTest, AMalformedCatalogueFilesNothingAndStillFinishes) {
  sb_.file("~/a.txt", "aaaa");
  auto views = [](const FeaturePtr& f) -> auto& { return *f->categoryInfo[0]->childrenCateogry; };
  struct Case {
    const char* what;
    std::function<void(const FeaturePtr&)> damage;
  } cases[] = {
      {"eleven views", [&](const FeaturePtr& f) { views(f).pop_back(); }},
      {"thirteen views",
       [&](const FeaturePtr& f) { views(f).push_back(std::make_shared<CategoryInformation>()); }},
      {"no view list", [](const FeaturePtr& f) { f->categoryInfo[0]->childrenCateogry.reset(); }},
      {"a null view", [&](const FeaturePtr& f) { views(f)[3] = nullptr; }},
      {"a null first category", [](const FeaturePtr& f) { f->categoryInfo[0] = nullptr; }},
      {"no category", [](const FeaturePtr& f) { f->categoryInfo.clear(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScanStatusTable::erase(kFeatureID);
    std::vector<ModulePtr> modules;
    feature_ = testing::largeFeature(modules);
    CategoryPtr all = feature_->categoryInfo[0];
    c.damage(feature_);
    EXPECT_EQ(S::allFilesCategory(feature_), nullptr);
    size_t offset = testing::logSize();
    Outcome outcome = scan();
    EXPECT_EQ(outcome.doneCalls, 1);
    EXPECT_EQ(outcome.total, 0);
    EXPECT_TRUE(outcome.progress.empty());
    EXPECT_TRUE(all->childrens.empty());
    EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::end));
    EXPECT_EQ(serviceLines(testing::logSince(offset)),
              (std::vector<std::string>{
                  "LargeAndOldScanService Start",
                  "LargeAndOldScanService Catalogue Error: the feature's first category does not "
                  "hold the twelve sub-categories; nothing is filed",
                  "LargeAndOldScanService Finish"}));

    if (feature_->categoryInfo.empty() || !feature_->categoryInfo[0]) continue;  // views intact
    const auto now = std::chrono::system_clock::now();
    S::addToChildrenCategory(all, testing::makeRecord("/x", 1, now), now, now, now);
    size_t filed = 0;
    if (all->childrenCateogry) {
      for (const CategoryPtr& sub : *all->childrenCateogry)
        filed += sub ? sub->childrens.size() : 0;
    }
    EXPECT_EQ(filed, 0u);
    all->childrens = {testing::makeRecord("/x", 4, now, 7)};
    auto [deleted, failures, errors] = S::sortCategory(all);
    EXPECT_EQ(deleted, 0);
    EXPECT_EQ(all->size, 4);
    EXPECT_EQ(all->childrens[0]->finderID(), 0);
  }
  EXPECT_EQ(S::allFilesCategory(nullptr), nullptr);
  EXPECT_EQ(std::get<0>(S::sortCategory(nullptr)), 0);
  S::addToChildrenCategory(nullptr, testing::makeRecord("/x", 1, {}), {}, {}, {});
}

TEST_F(LargeOldScanTest, TheQueryToolIsAskedForTheBigFilesOfTheHome) {
  const std::string home = sb_.home();
  std::string atLimit = sparse(sb_, "~/Movies/at-limit.mov", 52'428'800);
  std::string above = sparse(sb_, "~/Movies/above.mov", 52'428'801);
  std::string huge = sparse(sb_, "~/Downloads/disk.zip", 600'000'000);
  std::string small = sb_.file("~/Documents/small.txt", "small");
  // Big files the tool may report that lie outside the home.
  std::string outside = sparse(sb_, "/Volumes/Disk/big.mov", 60'000'000);
  std::string sibling = sparse(sb_, "/Users/tester2/big.mov", 60'000'000);
  sb_.dir("~/Folder.mov/");
  // The fake answers as the index does (regular files strictly larger than
  // the size in the query, under the folder given), then adds lines of its
  // own: the tool's word is taken as it is, no size is checked again.
  fakeQueryTool(
      "limit=${3#kMDItemFSSize > }\n"
      "find \"$2\" -type f -size +\"${limit}\"c | sort\n"
      "printf '%s\\n' '' '" +
      outside + "' '" + sibling + "' '" + home + "' '" + home + "/Folder.mov' '" + home +
      "/gone.mov' '" + small + "'");

  size_t offset = testing::logSize();
  Outcome outcome = scan();
  EXPECT_EQ(outcome.doneCalls, 1);
  EXPECT_TRUE(outcome.onMainQueue);
  EXPECT_EQ(testing::readFile(args_), "-onlyin\n" + home + "\nkMDItemFSSize > 52428800\n");
  EXPECT_EQ(
      serviceLines(testing::logSince(offset)),
      (std::vector<std::string>{"LargeAndOldScanService Start", "LargeAndOldScanService Finish"}));

  std::vector<std::string> paths;
  for (const FilePtr& f : all_->childrens) paths.push_back(f->url.path());
  // In output order: find's sorted lines, then the extra ones.
  EXPECT_EQ(paths, (std::vector<std::string>{huge, above, small}));
  EXPECT_EQ(outcome.total, 600'000'000 + 52'428'801 + 5);
  EXPECT_EQ(testing::viewsHolding(all_, all_->childrens[0]),
            (std::vector<K>{K::Archives, K::LastWeek, K::Huge}));
  EXPECT_EQ(testing::viewsHolding(all_, all_->childrens[1]),
            (std::vector<K>{K::Movies, K::LastWeek, K::Small}));
  EXPECT_EQ(all_->childrens[2]->finderID(), 2);
  (void)atLimit;
}

TEST_F(LargeOldScanTest, QueryOutputThatIsNotUtf8GivesAnEmptyResult) {
  std::string big = sparse(sb_, "~/big.mov", 60'000'000);
  all_->childrens.push_back(testing::makeRecord("/stale", 5, {}));
  all_->size = 5;
  fakeQueryTool("printf '%s\\n\\377\\376\\n' '" + big + "'");
  Outcome outcome = scan();
  EXPECT_EQ(outcome.doneCalls, 1);
  EXPECT_EQ(outcome.total, 0);
  EXPECT_TRUE(all_->childrens.empty());
  for (const CategoryPtr& v : *all_->childrenCateogry) EXPECT_TRUE(v->childrens.empty());
  EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::end));
}

// A fixed "now" and the limits a scan starting then would use.
const Timestamp kNow = Timestamp(seconds(1'700'000'000));
const Timestamp kYear = kNow - S::kOneYearInterval;
const Timestamp kMonth = kNow - S::kOneMonthInterval;
const Timestamp kWeek = kNow - S::kOneWeekInterval;

// Size and age views at their exact limits: a date is filed under the first
// limit it is earlier than.
TEST(LargeOldFilingTest, SizeAndAgeViewsAtTheExactLimits) {
  struct Case {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<ModulePtr> modules;
    CategoryPtr all = S::allFilesCategory(testing::largeFeature(modules));
    ASSERT_TRUE(all);
    FilePtr file = testing::makeRecord("/nonexistent/f", c.size, c.date);
    S::addToChildrenCategory(all, file, kYear, kMonth, kWeek);
    // The type of a file that is not there is Other.
    EXPECT_EQ(testing::viewsHolding(all, file), (std::vector<K>{K::Other, c.ageView, c.sizeView}));
    EXPECT_EQ(testing::view(all, c.sizeView)->size, c.size);
  }
}

TEST(LargeOldFilingTest, TypeTreeIsDecidedByItsFirstMatchingEntry) {
  struct Case {
    std::vector<std::string> tree;
    K type;
  } cases[] = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.tree));
    EXPECT_EQ(S::sortTypeTree(c.tree), raw(c.type));
  }
}

TEST(LargeOldFilingTest, TypeOfAFileComesFromTheItemAtItsUrl) {
  testing::TempDir dir;
  struct Case {
    const char* name;
    const char* content;  // null: not written
    K type;
  } cases[] = {
      {"a.zip", "x", K::Archives},
      {"b.JPG", "x", K::Picture},
      {"c.mp4", "x", K::Movies},
      {"d.mp3", "x", K::Music},
      {"noext", "\x89PNG\r\n\x1a\n0000", K::Picture},
      {"plain", "hello, world", K::Other},
      {"gone.zip", nullptr, K::Other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.content) dir.writeFile(c.name, c.content);
    EXPECT_EQ(S::sortTypeFile(testing::makeRecord(dir / c.name, 1, kNow)), raw(c.type));
  }
  EXPECT_EQ(S::sortTypeFile(nullptr), raw(K::Other));
}

TEST(LargeOldFilingTest, SortCategoryTakesOutDeletedFilesAndReportsFailures) {
  testing::TempDir dir;
  std::vector<ModulePtr> modules;
  CategoryPtr all = S::allFilesCategory(testing::largeFeature(modules));
  all->setFinderID(3);  // the records' parent identifier does not follow it
  const Timestamp now = std::chrono::system_clock::now();
  struct Entry {
    const char* name;
    int64_t size;
    int state;
    DeleteStatus status;
    const char* error;
  } entries[] = {
      {"deleted.mp4", 600'000'000, 1, DeleteStatus::DeleteSuccess, ""},
      {"failed.zip", 200'000'000, 1, DeleteStatus::DeleteError, "Permission denied"},
      {"unticked.txt", 70'000'000, 0, DeleteStatus::None, ""},
      {"mixed.txt", 80'000'000, -1, DeleteStatus::DeleteSuccess, ""},
  };
  for (const Entry& s : entries) {
    FilePtr f = testing::makeRecord(dir.writeFile(s.name, "x"), s.size, now - seconds(40 * 86400),
                                    static_cast<int>(all->childrens.size()));
    f->state = s.state;
    f->deleteStatus = raw(s.status);
    f->deleteErrorDesc = s.error;
    all->childrens.push_back(f);
    all->size += f->size;
    S::addToChildrenCategory(all, f, now - S::kOneYearInterval, now - S::kOneMonthInterval,
                             now - S::kOneWeekInterval);
  }
  FilePtr failed = all->childrens[1];
  FilePtr unticked = all->childrens[2];
  FilePtr mixed = all->childrens[3];

  auto [deleted, failures, errors] = S::sortCategory(all);
  EXPECT_EQ(deleted, 600'000'000);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], failed);
  EXPECT_EQ(errors, "Permission denied,");

  ASSERT_EQ(all->childrens, (std::vector<FilePtr>{failed, unticked, mixed}));
  for (size_t i = 0; i < all->childrens.size(); ++i) {
    EXPECT_EQ(all->childrens[i]->finderID(), static_cast<int>(i));
    EXPECT_EQ(all->childrens[i]->hashValueString().substr(0, 4), std::to_string(i) + ":0:");
  }
  EXPECT_EQ(all->size, 350'000'000);
  // The views hold exactly what is left, filed again.
  EXPECT_TRUE(testing::view(all, K::Movies)->childrens.empty());
  EXPECT_TRUE(testing::view(all, K::Huge)->childrens.empty());
  EXPECT_EQ(testing::view(all, K::Archives)->childrens, std::vector<FilePtr>{failed});
  EXPECT_EQ(testing::view(all, K::Other)->size, 150'000'000);
  EXPECT_EQ(testing::view(all, K::OneMonth)->childrens,
            (std::vector<FilePtr>{failed, unticked, mixed}));
  EXPECT_EQ(testing::view(all, K::Small)->size, 150'000'000);

  // Again: the failed record is still ticked and reported.
  auto [again, noFailures, noErrors] = S::sortCategory(all);
  EXPECT_EQ(again, 0);
  ASSERT_EQ(noFailures.size(), 1u);
  EXPECT_EQ(noErrors, "Permission denied,");
  EXPECT_EQ(all->childrens.size(), 3u);
}

}  // namespace
}  // namespace orvexa
