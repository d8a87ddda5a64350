#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "orvexa/platform/plist.h"
#include "orvexa/scan/master/email_scan_service.h"
#include "orvexa/scan/master/itunes_scan_service.h"
#include "orvexa/scan/master/photo_scan_service.h"
#include "orvexa/scan/master/system_scan_service.h"
#include "orvexa/scan/master/trash_bin_scan_service.h"
#include "support/features.h"
#include "support/sandbox.h"
#include "support/signal.h"

namespace orvexa {
namespace {

constexpr int kFeatureID = 8101;

// The titles of a category's records, sorted, joined by ", ".
std::string titlesOf(const CategoryPtr& c) {
  std::vector<std::string> titles;
  for (const FilePtr& f : c->childrens) titles.push_back(f->title);
  std::sort(titles.begin(), titles.end());
  return fmt::format("{}", fmt::join(titles, ", "));
}

class JunkScannersTest : public ::testing::Test {
 protected:
  void TearDown() override { ScanStatusTable::erase(kFeatureID); }

  // Runs a scanner that reports (feature, total), as a fresh scan, and waits for it.
  template <typename Scan>
  int64_t runFeatureScan(const FeaturePtr& feature, Scan scan) {
    ScanStatusTable::erase(kFeatureID);
    testing::Signal done;
    int64_t total = -1;
    std::vector<int> singles;
    scan(
        feature, nullptr, nullptr,
        [&](int position, const CategoryResult&) { singles.push_back(position); },
        [&](const FeaturePtr&, int64_t t) {
          total = t;
          done.notify();
        },
        queue_);
    EXPECT_TRUE(done.wait());
    queue_->waitUntilIdle();
    EXPECT_EQ(singles.size(), feature->categoryInfo.size());
    EXPECT_EQ(ScanStatusTable::get(kFeatureID), static_cast<int>(ScanState::end));
    return total;
  }

  // A feature of its own with these categories.
  FeaturePtr featureWith(const std::vector<testing::CategorySpec>& categories) {
    module_ = testing::makeModule(kFeatureID, categories);
    return testing::featureOf(module_);
  }

  testing::Sandbox sb_;
  ModulePtr module_;
  std::shared_ptr<SerialGCDService> queue_ =
      std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
};

TEST_F(JunkScannersTest, SystemJunkListsTopLevelItemsAndFiltersSystemCaches) {
  sb_.layout({"~/Library/Caches/a.db:100", "~/Library/Caches/.hidden:5",
              "~/Library/Caches/com.apple.kext.caches/x:5",
              "~/Library/Caches/com.apple.xpchelper.cache:5",
              "/Library/Logs/com.apple.kext.caches/y:7", "/Library/Logs/app.log:3"});
  for (int i = 0; i < 10; ++i) sb_.file("~/Library/Caches/B/f" + std::to_string(i), 10);
  FeaturePtr feature =
      featureWith({{"Caches", CategoryInfomationKind::SystemCache, {sb_.path("~/Library/Caches")}},
                   {"Logs", CategoryInfomationKind::Common, {sb_.path("/Library/Logs")}}});
  // Its done receives the files of each category: the first category's are counted.
  const auto scan = [](const auto& f, auto p, auto s, auto sd, auto d, const auto& q) {
    SystemScanService::scan(
        f, p, s, sd, [f, d](auto r) { d(f, std::ssize(r[0].files)); }, q);
  };
  EXPECT_EQ(runFeatureScan(feature, scan), 2);
  // B is sized by the ten files below it.
  const CategoryPtr caches = feature->categoryInfo[0];
  EXPECT_EQ(std::tuple(titlesOf(caches), caches->size), std::tuple("B, a.db", 200));

  // A Common category records the kext cache folder like any other.
  EXPECT_EQ(titlesOf(feature->categoryInfo[1]), "app.log, com.apple.kext.caches");
}

TEST_F(JunkScannersTest, TrashOfOtherVolumesNeedsAPerUserFolder) {
  const std::string uid = std::to_string(getuid());
  sb_.layout({"~/.Trash/old.doc:10", "~/.Trash/.DS_Store:3",
              "/Volumes/USB/.Trashes/" + uid + "/photo.jpg:20",
              "/Volumes/Other/.Trashes/99999/x:50", "/Volumes/Bare/file:5"});
  FeaturePtr feature =
      featureWith({{"Trash", CategoryInfomationKind::Common, {sb_.path("~/.Trash")}},
                   {"Other Trash Bins", CategoryInfomationKind::Common, {}}});

  runFeatureScan(feature, [](const auto& f, auto p, auto s, auto sd, auto d, const auto& q) {
    TrashBinScanService::scanTrashBin(f, p, s, sd, d, "On other volumes", q);
  });
  EXPECT_EQ(titlesOf(feature->categoryInfo[0]), "old.doc");
  CategoryPtr other = feature->categoryInfo[1];
  EXPECT_EQ(
      std::tuple(other->kind, other->description, titlesOf(other)),
      std::tuple(raw(CategoryInfomationKind::OtherTrashBin), "On other volumes", "photo.jpg"));
}

TEST_F(JunkScannersTest, MailAttachmentsFourLevelsDownAreFoundButNotTheirFolders) {
  sb_.layout({"~/Library/Mail/V10/Box.mbox/Data/Attachments/1/report.pdf:300",
              "~/Library/Mail/V10/Attachments/three-levels.txt:7", "~/Library/Mail/stray.txt:9",
              "~/Library/Mail/V10/Box.mbox/Data/Messages/1.emlx:4"});
  FeaturePtr feature = featureWith({{"Attachments", CategoryInfomationKind::EmailAttachment, {}}});
  EXPECT_EQ(runFeatureScan(feature, EmailScanService::scanEmailJunk), 300);
  EXPECT_EQ(titlesOf(feature->categoryInfo[0]), "report.pdf");

  // The version folders come from a copy of the persistence information.
  const PlistValue info(PlistValue::Dictionary{
      {{"LastUsedVersionDirectoryIdentifiers", PlistValue::Array{"V10", "V9"}}, {"Other", "x"}}});
  std::string store = sb_.dir("~/Library/Mail");
  ASSERT_TRUE(writePlistFile(store + "/PersistenceInfo.plist", info, PlistFormat::Binary));
  EXPECT_EQ(EmailScanService::getMailAttachmentsDirectoryId(Url::fromPath(store + "/", true)),
            (std::vector<std::string>{"V10", "V9"}));
  EXPECT_TRUE(
      EmailScanService::getMailAttachmentsDirectoryId(Url::fromPath(sb_.path("~/nowhere/"), true))
          .empty());
}

TEST_F(JunkScannersTest, BackupsAreTitledWithTheirDeviceName) {
  const std::string backups = "~/Library/Application Support/MobileSync/Backup/";
  const PlistValue info(PlistValue::Dictionary{{{"Display Name", "Anna's Phone"}}});
  for (const char* id : {"00008030-AAA", "00008030-BBB"}) {
    sb_.file(backups + id + "/Manifest.db", 1000);
    ASSERT_TRUE(writePlistFile(sb_.path(backups + id + "/Info.plist"), info, PlistFormat::Xml));
  }
  sb_.file(backups + "nameless/data", 10);
  FeaturePtr feature =
      featureWith({{"Backups", CategoryInfomationKind::Common, {sb_.path(backups)}}});
  runFeatureScan(feature, iTunesScanService::scaniTunesJunk);
  EXPECT_EQ(titlesOf(feature->categoryInfo[0]), "Anna's Phone, Anna's Phone, nameless");
  EXPECT_TRUE(contentsOfDirectory(sb_.path("~/Documents")).empty()) << "copies are removed";
}

// The library is searched for in all of Pictures, never through a link.
TEST_F(JunkScannersTest, PhotosCachesAreListedByNameOnly) {
  std::filesystem::create_directory_symlink(sb_.dir("~/Elsewhere/Real.photoslibrary"),
                                            sb_.dir("~/Pictures/Albums") + "/L.photoslibrary");
  FeaturePtr feature = featureWith({{"Photos", CategoryInfomationKind::Common, {}}});
  EXPECT_EQ(runFeatureScan(feature, PhotoScanService::scaniPhotoJunk), 0) << "no library";

  const std::string lib = "~/Pictures/Albums/2020/Photos Library.photoslibrary/";
  sb_.layout({lib + "resources/media/face/a.jpeg:10", lib + "resources/caches/b.png:20",
              lib + "resources/caches/noext:30", lib + "resources/media/master/c.JPG:40",
              lib + "resources/media/moduleresources/d.jpg:50", lib + "database/photos.db:60"});
  EXPECT_EQ(runFeatureScan(feature, PhotoScanService::scaniPhotoJunk), 80);
  EXPECT_EQ(titlesOf(feature->categoryInfo[0]), "a.jpeg, b.png, d.jpg");
}

}  // namespace
}  // namespace orvexa
