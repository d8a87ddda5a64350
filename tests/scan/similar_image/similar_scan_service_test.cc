#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/paths.h"
#include "orvexa/scan/similar_image/similar_scan_service.h"
#include "orvexa/tree/lsh_service.h"
#include "orvexa/units/sqlite_tool.h"
#include "support/features.h"
#include "support/picture_files.h"
#include "support/sandbox.h"
#include "support/signal.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

constexpr int kFeatureID = 8801;

std::vector<std::string> memberPaths(const FilePtr& group) {
  std::vector<std::string> paths;
  for (const FilePtr& m : group->childrens) paths.push_back(m->url.path());
  return paths;
}

using Groups = std::vector<std::vector<std::string>>;

// The member paths of every group, each sorted, in order.
Groups groupsOf(const FeaturePtr& feature) {
  Groups groups;
  for (const FilePtr& g : feature->categoryInfo.at(0)->childrens) {
    std::vector<std::string> paths = memberPaths(g);
    std::sort(paths.begin(), paths.end());
    groups.push_back(paths);
  }
  std::sort(groups.begin(), groups.end());
  return groups;
}

class SimilarScanServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScanStatusTable::erase(kFeatureID);
    LSHService::shard().setBandLookup(true);
  }
  void TearDown() override {
    SimilarScanService::setFingerprintHookForTesting(nullptr);
    ScanStatusTable::erase(kFeatureID);
  }

  // Shared with the scan: a straggling pool task may still report after
  // the wait.
  struct Outcome {
    std::atomic<int64_t> total{-1};
    std::atomic<int> doneCalls{0};
    std::atomic<float> lastFraction{-1};
  };

  auto runScan(const std::vector<std::string>& folders, int threshold = 5) {
    std::vector<Url> urls;
    for (const std::string& f : folders) urls.push_back(Url::fromPath(f));
    testing::Signal done;
    auto outcome = std::make_shared<Outcome>();
    SimilarScanService::scan(
        feature_, urls, threshold, [outcome](float f) { outcome->lastFraction = f; }, nullptr,
        nullptr,
        [&, outcome](const FeaturePtr& f, int64_t total) {
          EXPECT_EQ(f, feature_);
          EXPECT_TRUE(queue_->isCurrent());
          outcome->total = total;
          ++outcome->doneCalls;
          done.notify();
        },
        queue_);
    EXPECT_TRUE(done.wait(std::chrono::seconds(60)));
    queue_->waitUntilIdle();
    return outcome;
  }

  // A distinct picture per seed.
  std::string picture(const std::string& path, uint32_t seed, int width = 96, int height = 72) {
    return testing::writeJpeg(path, width, height, testing::blocks(seed, width, height));
  }
  // A byte-identical copy of `from`.
  static std::string copy(const std::string& from, const std::string& to) {
    return testing::writeBytes(to, testing::readBytes(from));
  }

  testing::Sandbox sb_;
  const std::string folder_ = sb_.dir("~/Pictures");
  ModulePtr module_ =
      testing::makeModule(kFeatureID, {{"All", CategoryInfomationKind::Common, {}}});
  FeaturePtr feature_ = testing::featureOf(module_);
  std::shared_ptr<SerialGCDService> queue_ =
      std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
};

// The cases that exercise the pool, the serial queue and a stop; the suite
// also runs under ThreadSanitizer.
class SimilarScanConcurrencyTest : public SimilarScanServiceTest {};

TEST_F(SimilarScanConcurrencyTest, TwoCopiesUnderDifferentNamesFormOneGroupOfTwo) {
  const std::string a = picture(folder_ + "/beach.jpg", 11);
  const std::string b = copy(a, folder_ + "/beach copy.jpg");
  picture(folder_ + "/forest.jpg", 12);
  picture(folder_ + "/city.png", 13);  // a JPEG under a PNG name

  const auto outcome = runScan({folder_});
  EXPECT_EQ(std::pair(outcome->doneCalls.load(), outcome->lastFraction.load()), std::pair(1, 1.0f));
  ASSERT_EQ(groupsOf(feature_), (Groups{{b, a}}));
  const CategoryPtr all = feature_->categoryInfo[0];
  const FilePtr group = all->childrens[0];
  // Small sets: titled with the last component of a key. The scan ticks nothing.
  EXPECT_EQ(std::pair(group->parentFinderID, group->title),
            std::pair(all->finderID(), std::string("beach copy")));
  for (const FilePtr& member : group->childrens)
    EXPECT_EQ(
        std::pair(member->state, std::any_cast<SimilarNodePtr>(member->attachInformation)->url),
        std::pair(0, member->url));
  const int64_t size = static_cast<int64_t>(std::filesystem::file_size(a));
  EXPECT_EQ((std::vector{group->size, all->size, outcome->total.load()}),
            std::vector<int64_t>(3, 2 * size));
  EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::end));
}

TEST_F(SimilarScanServiceTest, OnePictureGivesAllWithNoGroupsAndTotalZero) {
  picture(folder_ + "/only.jpg", 21);
  sb_.file("~/Pictures/notes.txt", "text");
  // No location at all, or nothing to compare, ends the same way.
  for (const auto& folders : {std::vector{folder_}, std::vector<std::string>{}}) {
    EXPECT_EQ(runScan(folders)->total.load(), 0);
    EXPECT_EQ(std::tuple(feature_->categoryInfo.size(), feature_->categoryInfo[0]->title,
                         feature_->categoryInfo[0]->childrens.size()),
              std::tuple(1u, std::string("All"), 0u));
  }
}

// Flat and smooth pictures share a fingerprint of (nearly) equal bits:
// they are grouped only with byte-identical copies. Nor does a shared name
// group pictures.
TEST_F(SimilarScanServiceTest, PicturesWithoutInformationGroupOnlyWithIdenticalCopies) {
  // Gray levels from `first` on, changing by `step` a column.
  auto gray = [](int first, int step) {
    return [=](int x, int) {
      const auto v = static_cast<uint8_t>(first + step * x);
      return testing::Rgba{v, v, v};
    };
  };
  const std::string white = testing::writePng(folder_ + "/white.png", 64, 48, gray(255, 0));
  testing::writeJpeg(folder_ + "/white.jpg", 64, 48, gray(255, 0));  // the same look, other bytes
  testing::writePng(folder_ + "/black.png", 64, 48, gray(0, 0));
  const std::string dark = testing::writePng(folder_ + "/darkening.png", 64, 48, gray(255, -4));
  testing::writePng(folder_ + "/brightening.png", 64, 48, gray(0, 4));
  const std::string whiteCopy = copy(white, folder_ + "/white copy.png");
  const std::string darkCopy = copy(dark, folder_ + "/d2.png");
  picture(folder_ + "/scene.jpg", 1);  // one name, two pictures unlike each other
  picture(folder_ + "/scene.png", 2);
  runScan({folder_}, 5);
  EXPECT_EQ(groupsOf(feature_), (Groups{{darkCopy, dark}, {whiteCopy, white}}));
}

TEST_F(SimilarScanServiceTest, ThresholdFiveUsesThreeBandsAndSixUsesTwo) {
  picture(folder_ + "/a.jpg", 31);
  picture(folder_ + "/b.jpg", 32);
  for (const auto& [threshold, tables] : {std::pair{5, 120u}, {6, 30u}}) {
    SCOPED_TRACE(threshold);
    runScan({folder_}, threshold);
    EXPECT_EQ(LSHService::shard().tableDicts.size(), tables);
  }
}

TEST_F(SimilarScanServiceTest, OnlyPathsNamingJpegOrPngAreConsidered) {
  const auto bytes = testing::jpegBytes(96, 72, testing::blocks(41, 96, 72));
  const std::vector<std::string> considered = {"a.jpg", "b.JPEG", "c.Png", "f.jpg.bak",
                                               "nested/deep/i.jpg"};
  for (const char* name : {"d.gif", "e", ".hidden.jpg", ".cache/g.jpg", "Thing.app/h.jpg"})
    testing::writeBytes(folder_ + "/" + name, bytes);
  std::vector<std::string> expected;
  for (const std::string& name : considered)
    expected.push_back(testing::writeBytes(folder_ + "/" + name, bytes));
  runScan({folder_});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(groupsOf(feature_), (Groups{expected}));
}

// With the query tool present, discovery takes its lines (existing paths
// that name a JPEG or PNG) instead of walking.
TEST_F(SimilarScanServiceTest, MetadataQueryToolListsThePictures) {
  const std::string a = picture(folder_ + "/a.jpg", 51);
  const std::string b = copy(a, folder_ + "/b.jpg"), c = copy(a, folder_ + "/c.jpg");
  copy(a, folder_ + "/d.gif");
  // Lists a.jpg and b.jpg, the GIF and a picture that is not there.
  const std::string tool =
      sb_.file("/usr/bin/mdfind", testing::testData("similar_image/fake-mdfind.sh"));
  ::chmod(tool.c_str(), 0755);
  ASSERT_EQ(Paths::shared().tool("mdfind"), tool);
  runScan({folder_});
  EXPECT_EQ(groupsOf(feature_), (Groups{{a, b}})) << "c.jpg is not listed by the tool";

  // A tool that finds nothing anywhere makes the scan walk the folders.
  sb_.file("/usr/bin/mdfind", "#!/bin/sh\nexit 0\n");
  ::chmod(tool.c_str(), 0755);
  runScan({folder_});
  EXPECT_EQ(groupsOf(feature_), (Groups{{a, b, c}}));
}

// A Photos library whose database ties versions to masters: the master and
// its derivative files are one group.
TEST_F(SimilarScanServiceTest, PhotosLibraryGroupsMastersWithTheirDerivatives) {
  const std::string library = sb_.dir("~/Pictures/Photos Library.photoslibrary");
  const std::string master1 = picture(library + "/Masters/2020/05/01/IMG_0001.JPG", 61, 160, 120);
  const std::string master2 = picture(library + "/Masters/2020/05/02/IMG_0002.jpg", 62, 160, 120);
  const std::string lonely = picture(library + "/Masters/2020/05/03/IMG_0003.jpg", 63, 160, 120);
  // Derivatives of version 42 (0x2A) and version 675 (0x2A3), whose
  // masters are IMG_0001 and IMG_0002.
  const std::string derivative1 = picture(
      library + "/resources/proxies/derivatives/00/00/2A/UNADJUSTEDNONRAW_thumb_2a.jpg", 61);
  const std::string derivative1b = picture(
      library + "/resources/proxies/derivatives/00/00/2A/UNADJUSTEDNONRAW_mini_2a.jpg", 61, 40, 30);
  const std::string derivative2 = picture(
      library + "/resources/proxies/derivatives/02/00/2A3/UNADJUSTEDNONRAW_thumb_2a3.jpg", 62);
  picture(folder_ + "/other.jpg", 64);

  // The database ties versions 42 and 675 to the masters IMG_0001 and
  // IMG_0002; one master path holds quotes, so the paths read back must be
  // bound, not spliced.
  SqliteTool db;
  std::filesystem::create_directories(library + "/database");
  ASSERT_TRUE(db.openDB(library + "/database/photos.db"));
  ASSERT_TRUE(db.executionSQL(testing::testData("similar_image/photos.sql")).first);
  db.closeDB(library + "/database/photos.db");

  runScan({folder_});
  std::map<std::string, std::vector<std::string>> byTitle;
  for (const FilePtr& g : feature_->categoryInfo.at(0)->childrens)
    byTitle[g->title] = memberPaths(g);
  // The master comes last: it is the picture the key stands for.
  EXPECT_EQ(byTitle, (std::map<std::string, std::vector<std::string>>{
                         {"IMG_0001", {derivative1b, derivative1, master1}},
                         {"IMG_0002", {derivative2, master2}}}));
}

TEST_F(SimilarScanServiceTest, LibraryWithoutDatabaseFilesMastersAlone) {
  const std::string library = sb_.dir("~/Pictures/Old.photoslibrary");
  const std::string master = picture(library + "/Masters/IMG_1.jpg", 71);
  copy(master, library + "/Masters/IMG_1 copy.jpg");
  picture(library + "/resources/proxies/derivatives/00/00/2A/UNADJUSTEDNONRAW_thumb_2a.jpg", 71);
  runScan({library});  // the location is the library itself
  EXPECT_EQ(groupsOf(feature_), (Groups{{library + "/Masters/IMG_1 copy.jpg", master}}));
  EXPECT_FALSE(fileExists(library + "/database/photos.db")) << "no database file may be created";
}

// Above 100 keys the banded tables find the candidates; exact copies and
// re-encoded, resized or slightly brightened copies are confirmed, distinct
// pictures are not paired.
TEST_F(SimilarScanConcurrencyTest, LargeSetsAreGroupedThroughTheTables) {
  for (uint32_t i = 0; i < 110; ++i) picture(folder_ + "/p" + std::to_string(i) + ".jpg", 1000 + i);
  const auto source = testing::blocks(1003, 96, 72);
  const std::string exact = copy(folder_ + "/p3.jpg", folder_ + "/copy.jpg");
  const std::string reencoded = testing::writeJpeg(folder_ + "/reencoded.jpg", 96, 72, source, 60);
  const std::string resized =
      testing::writePng(folder_ + "/resized.png", 192, 144, testing::blocks(1005, 192, 144));
  const std::string brighter = testing::writeJpeg(
      folder_ + "/brighter.jpg", 96, 72, testing::brightened(testing::blocks(1007, 96, 72), 6));
  runScan({folder_});
  EXPECT_EQ(groupsOf(feature_), (Groups{
                                    {brighter, folder_ + "/p7.jpg"},
                                    {exact, folder_ + "/p3.jpg", reencoded},
                                    {folder_ + "/p5.jpg", resized},
                                }));
  for (const FilePtr& g : feature_->categoryInfo[0]->childrens)
    EXPECT_EQ(g->title.front(), '/') << "titled with a picture's path";
}

TEST_F(SimilarScanServiceTest, SortCategoryDropsDeletedMembersAndThinGroups) {
  const int ok = raw(DeleteStatus::DeleteSuccess), failed = raw(DeleteStatus::DeleteError),
            busy = raw(DeleteStatus::Deleteing), none = raw(DeleteStatus::None);
  // Per group, the delete status and size of each member; all are ticked,
  // titled "m<size>", and a failure says "denied m<size>;".
  const std::vector<std::pair<int, int64_t>> groups[] = {
      {{ok, 10}, {failed, 20}, {none, 30}},
      {{ok, 40}, {none, 50}},  // one member left: dropped
      {{ok, 60}, {ok, 70}},    // all deleted: dropped
      {{busy, 80}, {none, 90}, {none, 100}},
  };
  auto all = std::make_shared<CategoryInformation>();
  all->state = -1;
  for (const auto& members : groups) {
    auto group = std::make_shared<FileInformation>();
    group->setFinderID(static_cast<int>(all->childrens.size()));
    group->state = -1;
    for (auto [status, size] : members) {
      auto m = std::make_shared<FileInformation>();
      m->setFinderID(static_cast<int>(group->childrens.size()));
      std::tie(m->deleteStatus, m->size, m->state, m->title) =
          std::tuple(status, size, 1, "m" + std::to_string(size));
      if (status == failed) m->deleteErrorDesc = "denied " + m->title + ";";
      group->childrens.push_back(m);
      group->size += size;
    }
    all->childrens.push_back(group);
  }
  const FilePtr kept = all->childrens[0], untouched = all->childrens[3];

  auto [deleted, failures, errors] = SimilarScanService::sortCategory(all);
  ASSERT_EQ(std::tuple(deleted, failures.size(), all->childrens, kept->childrens.size()),
            std::tuple(int64_t{10 + 40 + 60 + 70}, 2u, std::vector<FilePtr>{kept, untouched}, 2u));
  EXPECT_EQ(failures[0]->title + failures[1]->title + " " + errors, "m20m80 denied m20;");
  // Renumbered, unticked, resized.
  EXPECT_EQ((std::vector<int64_t>{untouched->finderID(), kept->childrens[1]->finderID(),
                                  failures[0]->state, kept->childrens[1]->state, kept->state,
                                  all->state, kept->size, all->size}),
            (std::vector<int64_t>{1, 1, 0, 0, 0, 0, 50, 320}));
}

}  // namespace
}  // namespace orvexa
