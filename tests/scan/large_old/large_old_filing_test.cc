#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "large_old_fixtures.h"
#include "orvexa/scan/large_old/large_and_old_file_service.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using K = LargeAndFileKind;
using S = LargeAndOldFileService;
using std::chrono::seconds;

// A fixed "now" and the limits a scan starting then would use.
const Timestamp kNow = Timestamp(seconds(1'700'000'000));
const Timestamp kYear = kNow - S::kOneYearInterval;
const Timestamp kMonth = kNow - S::kOneMonthInterval;
const Timestamp kWeek = kNow - S::kOneWeekInterval;

TEST(LargeOldFilingTest, SizeDecidesHugeAverageOrSmallAtTheExactLimits) {
  struct Case {
    int64_t size;
    K view;
  } cases[] = {
      {524'288'000, K::Huge},
      {524'288'000 - 1, K::Average},
      {524'288'000 + 1, K::Huge},
      {104'857'600, K::Average},
      {104'857'600 - 1, K::Small},
      {52'428'801, K::Small},
      {0, K::Small},
      {int64_t{1} << 40, K::Huge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    auto module = testing::makeLargeModule(1);
    CategoryPtr all = S::allFilesCategory(module->featureInfo.front());
    ASSERT_TRUE(all);
    FilePtr file = testing::makeRecord("/nonexistent/f", c.size, kNow);
    S::addToChildrenCategory(all, file, kYear, kMonth, kWeek);
    // The type of a file that is not there is Other; the age is LastWeek.
    EXPECT_EQ(testing::viewsHolding(all, file), (std::vector<K>{K::Other, K::LastWeek, c.view}));
    EXPECT_EQ(testing::view(all, c.view)->size, c.size);
  }
}

TEST(LargeOldFilingTest, AgeIsTheFirstLimitTheDateIsEarlierThan) {
  struct Case {
    const char* what;
    Timestamp date;
    K view;
  } cases[] = {
      {"now", kNow, K::LastWeek},
      {"in the future", kNow + seconds(3600), K::LastWeek},
      {"exactly the week limit", kWeek, K::LastWeek},
      {"one second before the week limit", kWeek - seconds(1), K::OneWeek},
      {"exactly the month limit", kMonth, K::OneWeek},
      {"one second before the month limit", kMonth - seconds(1), K::OneMonth},
      {"exactly the year limit", kYear, K::OneMonth},
      {"one second before the year limit", kYear - seconds(1), K::OneYear},
      {"the epoch", Timestamp(), K::OneYear},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto module = testing::makeLargeModule(1);
    CategoryPtr all = S::allFilesCategory(module->featureInfo.front());
    FilePtr file = testing::makeRecord("/nonexistent/f", 10, c.date);
    S::addToChildrenCategory(all, file, kYear, kMonth, kWeek);
    EXPECT_EQ(testing::viewsHolding(all, file), (std::vector<K>{K::Other, c.view, K::Small}));
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
      // "audiovisual" contains "audio": a tree reaching it before any movie
      // entry is Music.
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
    std::string content;  // nothing is written for "gone.zip"
    K type;
  } cases[] = {
      {"a.zip", "x", K::Archives},
      {"b.JPG", "x", K::Picture},
      {"c.mp4", "x", K::Movies},
      {"d.mp3", "x", K::Music},
      {"e.txt", "x", K::Other},
      {"noext", "\x89PNG\r\n\x1a\n0000", K::Picture},
      {"plain", "hello, world", K::Other},
      {"gone.zip", "", K::Other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / c.name;
    if (std::string(c.name) != "gone.zip") dir.writeFile(c.name, c.content);
    EXPECT_EQ(S::sortTypeFile(testing::makeRecord(path, 1, kNow)), raw(c.type));
  }
  EXPECT_EQ(S::sortTypeFile(nullptr), raw(K::Other));
}

TEST(LargeOldFilingTest, EachFileLandsInExactlyOneViewOfEachGroupWithItsSize) {
  testing::TempDir dir;
  auto module = testing::makeLargeModule(1);
  CategoryPtr all = S::allFilesCategory(module->featureInfo.front());
  FilePtr movie = testing::makeRecord(dir.writeFile("m.mov", "x"), 600'000'000, kYear - seconds(5));
  FilePtr archive =
      testing::makeRecord(dir.writeFile("a.tar.gz", "x"), 200'000'000, kWeek - seconds(5));
  FilePtr other = testing::makeRecord(dir.writeFile("o.bin", "x"), 60'000'000, kNow);
  for (const FilePtr& f : {movie, archive, other})
    S::addToChildrenCategory(all, f, kYear, kMonth, kWeek);

  EXPECT_EQ(testing::viewsHolding(all, movie), (std::vector<K>{K::Movies, K::OneYear, K::Huge}));
  EXPECT_EQ(testing::viewsHolding(all, archive),
            (std::vector<K>{K::Archives, K::OneWeek, K::Average}));
  EXPECT_EQ(testing::viewsHolding(all, other), (std::vector<K>{K::Other, K::LastWeek, K::Small}));
  int64_t typeTotal = 0, ageTotal = 0, sizeTotal = 0;
  for (int k = 0; k < 12; ++k) {
    int64_t size = testing::view(all, static_cast<K>(k))->size;
    (k <= 4 ? typeTotal : k <= 8 ? ageTotal : sizeTotal) += size;
  }
  EXPECT_EQ(typeTotal, 860'000'000);
  EXPECT_EQ(ageTotal, 860'000'000);
  EXPECT_EQ(sizeTotal, 860'000'000);
  // Filing does not add to the all-files category itself: the scans do.
  EXPECT_TRUE(all->childrens.empty());
}

TEST(LargeOldFilingTest, MalformedTreesAreRecognisedAndNeverFiledInto) {
  struct Case {
    const char* what;
    std::function<void(const FeaturePtr&)> damage;
    bool viewsDamaged;  // else only the feature's category list is
  } cases[] = {
      {"eleven views",
       [](const FeaturePtr& f) { f->categoryInfo[0]->childrenCateogry->pop_back(); }, true},
      {"thirteen views",
       [](const FeaturePtr& f) {
         f->categoryInfo[0]->childrenCateogry->push_back(std::make_shared<CategoryInformation>());
       },
       true},
      {"no view list", [](const FeaturePtr& f) { f->categoryInfo[0]->childrenCateogry.reset(); },
       true},
      {"a null view",
       [](const FeaturePtr& f) { (*f->categoryInfo[0]->childrenCateogry)[3] = nullptr; }, true},
      {"a null first category", [](const FeaturePtr& f) { f->categoryInfo[0] = nullptr; }, false},
      {"no category", [](const FeaturePtr& f) { f->categoryInfo.clear(); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto module = testing::makeLargeModule(1);
    FeaturePtr feature = module->featureInfo.front();
    CategoryPtr original = feature->categoryInfo[0];
    c.damage(feature);
    EXPECT_EQ(S::allFilesCategory(feature), nullptr);
    if (!c.viewsDamaged) continue;
    S::addToChildrenCategory(original, testing::makeRecord("/x", 1, kNow), kYear, kMonth, kWeek);
    size_t filed = 0;
    if (original->childrenCateogry) {
      for (const CategoryPtr& sub : *original->childrenCateogry)
        filed += sub ? sub->childrens.size() : 0;
    }
    EXPECT_EQ(filed, 0u);
    // The rebuild still renumbers and sums what the category holds.
    original->childrens = {testing::makeRecord("/x", 4, kNow, 7)};
    auto [deleted, failures, errors] = S::sortCategory(original);
    EXPECT_EQ(deleted, 0);
    EXPECT_EQ(original->size, 4);
    EXPECT_EQ(original->childrens[0]->finderID(), 0);
  }
  EXPECT_EQ(S::allFilesCategory(nullptr), nullptr);
  S::addToChildrenCategory(nullptr, testing::makeRecord("/x", 1, kNow), kYear, kMonth, kWeek);
}

TEST(LargeOldFilingTest, SortCategoryTakesOutDeletedFilesAndReportsFailures) {
  testing::TempDir dir;
  auto module = testing::makeLargeModule(1, 12, /*allFinderID=*/3);
  CategoryPtr all = S::allFilesCategory(module->featureInfo.front());
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
  EXPECT_EQ(testing::view(all, K::Average)->childrens, std::vector<FilePtr>{failed});
  EXPECT_EQ(testing::view(all, K::Small)->size, 150'000'000);

  // Nothing ticked: nothing changes but the numbering.
  auto [again, noFailures, noErrors] = S::sortCategory(all);
  EXPECT_EQ(again, 0);
  ASSERT_EQ(noFailures.size(), 1u);  // the failed record is still ticked
  EXPECT_EQ(noErrors, "Permission denied,");
  EXPECT_EQ(all->childrens.size(), 3u);
}

TEST(LargeOldFilingTest, SortCategoryJoinsEveryFailureText) {
  auto module = testing::makeLargeModule(1);
  CategoryPtr all = S::allFilesCategory(module->featureInfo.front());
  for (const char* error : {"A", "", "B"}) {
    FilePtr f = testing::makeRecord("/nonexistent/x", 1, kNow);
    f->state = 1;
    f->deleteStatus = raw(DeleteStatus::DeleteError);
    f->deleteErrorDesc = error;
    all->childrens.push_back(f);
  }
  auto [deleted, failures, errors] = S::sortCategory(all);
  EXPECT_EQ(deleted, 0);
  EXPECT_EQ(failures.size(), 3u);
  EXPECT_EQ(errors, "A,,B,");
  EXPECT_EQ(all->size, 3);

  auto [d, f, e] = S::sortCategory(nullptr);
  EXPECT_EQ(d, 0);
  EXPECT_TRUE(f.empty());
  EXPECT_EQ(e, "");
}

}  // namespace
}  // namespace orvexa
