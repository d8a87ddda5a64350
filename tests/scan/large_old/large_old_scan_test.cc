#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

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

constexpr int kFeatureID = 6;  // the catalogue's large-and-old-files feature

// The all-files category of a fresh copy of the catalogue's feature;
// `modules` keeps it alive.
CategoryPtr allFiles(std::vector<ModulePtr>& modules) {
  modules = ModuleInformation::getDefault();
  return S::allFilesCategory(findFeatureByModuleType(modules, kLargeAndOldFilesModuleType));
}

CategoryPtr view(const CategoryPtr& all, K kind) {
  return (*all->childrenCateogry)[static_cast<size_t>(kind)];
}

// One line per record of `all`, in order: its file name, then the views
// that hold it.
std::string describeViews(const CategoryPtr& all) {
  static const char* const kNames[] = {"Archives", "Picture", "Movies",   "Music",
                                       "Other",    "OneYear", "OneMonth", "OneWeek",
                                       "LastWeek", "Huge",    "Average",  "Small"};
  std::string out;
  for (const FilePtr& file : all->childrens) {
    out += std::filesystem::path(file->url.path()).filename().string();
    for (size_t i = 0; i < all->childrenCateogry->size(); ++i) {
      const auto& held = (*all->childrenCateogry)[i]->childrens;
      if (std::find(held.begin(), held.end(), file) != held.end())
        out += std::string(" ") + kNames[i];
    }
    out += "\n";
  }
  return out;
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

class LargeOldScanTest : public ::testing::Test {
 protected:
  void SetUp() override { renew(); }
  void TearDown() override { ScanStatusTable::erase(kFeatureID); }
  void renew() {
    ScanStatusTable::erase(kFeatureID);
    all_ = allFiles(modules_);
    ASSERT_TRUE(all_);
    feature_ = all_->featureInfo.lock();
    ASSERT_EQ(feature_->finderID, kFeatureID);
  }

  struct Outcome {
    int64_t total = -1;
    std::vector<std::pair<std::string, int64_t>> progress;
  };

  // Runs a scan and waits for its `done`; checks the feature ended after
  // exactly one `done`, called on the main queue with this feature.
  Outcome scan() {
    // Progress comes on `queue_`, done after it on the main queue: no lock needed.
    auto outcome = std::make_shared<Outcome>();
    auto done = std::make_shared<testing::Signal>();
    S::scanLargeAndOldFile(
        feature_,
        [outcome](const std::string& path, int64_t size) {
          outcome->progress.emplace_back(path, size);
        },
        nullptr, [](int, int64_t) { ADD_FAILURE() << "singleDone is not used"; },
        [outcome, done, feature = feature_](const FeaturePtr& f, int64_t total) {
          EXPECT_EQ(std::pair(f, MainQueue::isMainThread()), std::pair(feature, true));
          outcome->total = total;
          done->notify();
        },
        queue_);
    EXPECT_TRUE(done->wait());
    queue_->waitUntilIdle();
    MainQueue::sync([] {});  // a second `done` would have come by now
    EXPECT_EQ(std::pair(ScanStatusTable::get(kFeatureID), done->count()),
              std::pair(std::optional(static_cast<int>(ScanState::end)), 1));
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

constexpr const char* kWalkViews = R"(backup.zip Archives OneYear Average
empty Other LastWeek Small
holiday.mp4 Movies LastWeek Huge
note.txt Other OneWeek Small
scan Picture LastWeek Small
)";

constexpr const char* kQueryViews = R"(disk.zip Archives LastWeek Huge
above.mov Movies LastWeek Small
small.txt Other LastWeek Small
)";

constexpr const char* kRebuiltViews = R"(failed.zip Archives OneMonth Average
unticked.txt Other OneMonth Small
mixed.txt Other OneMonth Small
)";

TEST_F(LargeOldScanTest, WithoutTheQueryToolTheWalkRecordsEveryVisibleRegularFile) {
  std::string movie = sparse(sb_, "~/Movies/holiday.mp4", 600'000'000);
  const time_t now = std::time(nullptr), yearAgo = now - 400 * 86400, tenDaysAgo = now - 10 * 86400;
  testing::setTimes(sparse(sb_, "~/Documents/backup.zip", 150'000'000), yearAgo, yearAgo);
  testing::setTimes(sb_.file("~/Documents/note.txt", "twelve bytes"), tenDaysAgo, tenDaysAgo);
  sb_.file("~/empty", std::string());
  sb_.file("~/Pictures/scan", std::string("\xFF\xD8\xFF\xE0 jpeg data", 14));
  // Not regular files, hidden, or inside a package: never listed.
  sparse(sb_, "~/.cache/huge.bin", 700'000'000);
  sb_.file("~/Documents/.secret.zip", "x");
  sparse(sb_, "~/Applications/Tool.app/Contents/Resources/data.pak", 90'000'000);
  ASSERT_EQ(::symlink(movie.c_str(), sb_.path("~/link.mp4").c_str()), 0);
  ASSERT_EQ(::mkfifo(sb_.path("~/pipe").c_str(), 0600), 0);
  all_->state = 1;
  all_->setFinderID(0);

  Outcome outcome = scan();
  ASSERT_EQ(outcome.progress.size(), all_->childrens.size());
  for (size_t i = 0; i < all_->childrens.size(); ++i) {
    const FilePtr& f = all_->childrens[i];
    // Numbered in order, ticked as the all-files category is, filed under it,
    // reported with its path and size as it was found.
    EXPECT_EQ(
        std::tuple(f->finderID(), f->state, f->parentCategoryInfo.lock(), outcome.progress[i]),
        std::tuple(static_cast<int>(i), 1, all_, std::pair(f->url.path(), f->size)));
  }
  std::sort(all_->childrens.begin(), all_->childrens.end(),  // from walk order, which varies
            [](const FilePtr& a, const FilePtr& b) { return a->title < b->title; });
  EXPECT_EQ(describeViews(all_), kWalkViews);
  EXPECT_EQ(std::pair(outcome.total, all_->size),
            std::pair(int64_t{600'000'000 + 150'000'000 + 12 + 14}, outcome.total));
}

// A first category without exactly twelve views is never filed into (not by
// the scan, not by a direct call); its rebuild still renumbers and sums.
TEST_F(LargeOldScanTest, AMalformedCatalogueFilesNothingAndStillFinishes) {
  sb_.file("~/a.txt", "aaaa");
  auto views = [](const FeaturePtr& f) -> auto& { return *f->categoryInfo[0]->childrenCateogry; };
  const std::pair<const char*, std::function<void(const FeaturePtr&)>> cases[] = {
      {"eleven views", [&](const FeaturePtr& f) { views(f).pop_back(); }},
      {"no view list", [](const FeaturePtr& f) { f->categoryInfo[0]->childrenCateogry.reset(); }},
      {"a null view", [&](const FeaturePtr& f) { views(f)[3] = nullptr; }},
      {"a null first category", [](const FeaturePtr& f) { f->categoryInfo[0] = nullptr; }},
      {"no category", [](const FeaturePtr& f) { f->categoryInfo.clear(); }}};
  for (const auto& [what, damage] : cases) {
    SCOPED_TRACE(what);
    renew();
    CategoryPtr all = all_;
    damage(feature_);
    EXPECT_EQ(S::allFilesCategory(feature_), nullptr);
    Outcome outcome = scan();
    EXPECT_EQ(std::tuple(outcome.total, outcome.progress.size(), all->childrens.size()),
              std::tuple(0, 0u, 0u));

    if (feature_->categoryInfo.empty() || !feature_->categoryInfo[0]) continue;  // views intact
    const auto now = std::chrono::system_clock::now();
    S::addToChildrenCategory(all, makeRecord("/x", 1, now), now, now, now);
    size_t filed = 0;
    for (const CategoryPtr& sub :
         all->childrenCateogry ? *all->childrenCateogry : std::vector<CategoryPtr>{})
      filed += sub ? sub->childrens.size() : 0;
    all->childrens = {makeRecord("/x", 4, now, 7)};
    const int64_t deleted = std::get<0>(S::sortCategory(all));
    EXPECT_EQ(std::tuple(filed, deleted, all->size, all->childrens[0]->finderID()),
              std::tuple(0u, 0, int64_t{4}, 0));
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
  sparse(sb_, "~/Movies/above.mov", 52'428'801);
  std::string huge = sparse(sb_, "~/Downloads/disk.zip", 600'000'000);
  sb_.file("~/Documents/small.txt", "small");
  // Big files the tool reports that lie outside the home.
  sparse(sb_, "/Volumes/Disk/big.mov", 60'000'000);
  sparse(sb_, "/Users/tester2/big.mov", 60'000'000);
  sb_.dir("~/Folder.mov/");
  // The fake answers as the index does, then adds lines of its own.
  fakeQueryTool(testing::testData("large_old/mdfind-index.sh"));
  Outcome outcome = scan();
  EXPECT_EQ(testing::readFile(args_), "-onlyin\n" + home + "\nkMDItemFSSize > 52428800\n");
  // In output order: find's sorted lines, then the extra ones.
  EXPECT_EQ(describeViews(all_), kQueryViews);
  EXPECT_EQ(std::pair(outcome.total, all_->childrens[2]->finderID()),
            std::pair(int64_t{600'000'000 + 52'428'801 + 5}, 2));

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
  const std::tuple<int64_t, Timestamp, const char*> cases[] = {
      {524'288'000, kNow, "f Other LastWeek Huge\n"},
      {524'288'000 - 1, kNow + seconds(3600), "f Other LastWeek Average\n"},  // future
      {104'857'600, kWeek, "f Other LastWeek Average\n"},
      {104'857'600 - 1, kWeek - seconds(1), "f Other OneWeek Small\n"},
      {0, kMonth, "f Other OneWeek Small\n"},
      {int64_t{1} << 40, kMonth - seconds(1), "f Other OneMonth Huge\n"},
      {10, kYear, "f Other OneMonth Small\n"},
      {10, kYear - seconds(1), "f Other OneYear Small\n"}};
  for (const auto& [size, date, expected] : cases) {
    std::vector<ModulePtr> modules;
    CategoryPtr all = allFiles(modules);
    all->childrens = {makeRecord("/nonexistent/f", size, date)};
    S::addToChildrenCategory(all, all->childrens[0], kYear, kMonth, kWeek);
    EXPECT_EQ(describeViews(all), expected) << size;
  }
}

TEST(LargeOldFilingTest, TypeOfAFileAndOfATypeTree) {
  const std::pair<std::vector<std::string>, K> trees[] = {
      {{"public.zip-archive", "public.data", "public.image"}, K::Archives},
      {{"com.example.unknown", "public.image", "public.zip-archive"}, K::Picture},
      {{"public.mpeg-4", "public.movie", "public.audiovisual-content"}, K::Movies},
      // "audiovisual" contains "audio": reached before any movie entry, Music.
      {{"public.audiovisual-content", "public.movie"}, K::Music},
      // Within one entry "image" is checked before "archive".
      {{"com.example.disk-image-archive"}, K::Picture},
      {{"PUBLIC.IMAGE"}, K::Picture},
      {{}, K::Other}};
  for (const auto& [tree, type] : trees)
    EXPECT_EQ(S::sortTypeTree(tree), raw(type)) << ::testing::PrintToString(tree);

  // A file's type comes from the item at its URL (null content: not written).
  testing::TempDir dir;
  const std::tuple<const char*, const char*, K> files[] = {
      {"a.zip", "x", K::Archives},
      {"b.JPG", "x", K::Picture},
      {"noext", "\x89PNG\r\n\x1a\n0000", K::Picture},
      {"plain", "hello, world", K::Other},
      {"gone.zip", nullptr, K::Other}};
  for (const auto& [name, content, type] : files) {
    if (content) dir.writeFile(name, content);
    EXPECT_EQ(S::sortTypeFile(makeRecord(dir / name, 1, kNow)), raw(type)) << name;
  }
  EXPECT_EQ(S::sortTypeFile(nullptr), raw(K::Other));
}

TEST(LargeOldFilingTest, SortCategoryTakesOutDeletedFilesAndReportsFailures) {
  testing::TempDir dir;
  std::vector<ModulePtr> modules;
  CategoryPtr all = allFiles(modules);
  all->setFinderID(3);  // the records' parent identifier does not follow it
  const Timestamp now = std::chrono::system_clock::now();  // the rebuild files by the clock
  const std::tuple<const char*, int64_t, int, DeleteStatus, const char*> entries[] = {
      {"deleted.mp4", 600'000'000, 1, DeleteStatus::DeleteSuccess, ""},
      {"failed.zip", 200'000'000, 1, DeleteStatus::DeleteError, "Permission denied"},
      {"unticked.txt", 70'000'000, 0, DeleteStatus::None, ""},
      {"mixed.txt", 80'000'000, -1, DeleteStatus::DeleteSuccess, ""}};
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
  const auto reported = std::tuple(int64_t{0}, std::vector<FilePtr>{left[0]}, "Permission denied,");

  EXPECT_EQ(S::sortCategory(all),
            (std::tuple(int64_t{600'000'000}, std::get<1>(reported), "Permission denied,")));
  ASSERT_EQ(all->childrens, left);
  for (size_t i = 0; i < all->childrens.size(); ++i)
    EXPECT_EQ(all->childrens[i]->hashValueString().substr(0, 4), std::to_string(i) + ":0:");
  // The views hold exactly what is left, filed again.
  EXPECT_EQ(describeViews(all), kRebuiltViews);
  EXPECT_EQ((std::vector{all->size, view(all, K::Other)->size, view(all, K::Small)->size}),
            (std::vector<int64_t>{350'000'000, 150'000'000, 150'000'000}));
  // Again: the failed record is still ticked and reported.
  EXPECT_EQ(S::sortCategory(all), reported);
  EXPECT_EQ(all->childrens.size(), 3u);
}

}  // namespace
}  // namespace orvexa
