#include <gtest/gtest.h>

#include <filesystem>

#include "orvexa/platform/plist.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "support/browser_store_fixture.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using testing::attachmentText;
using testing::Sandbox;
using testing::titlesOf;

class SystemScanTest : public ::testing::Test {
 protected:
  static CategoryPtr scanRecent() { return testing::scanned("Recent Item"); }
  static CategoryPtr scanPermissions() { return testing::scanned("Application Permissions"); }

  Sandbox sb_;
};

TEST_F(SystemScanTest, WithoutFinderListThereIsNoFinderGroup) {
  const std::pair<const char*, std::string> cases[] = {
      {"no file", ""},
      {"no list",
       writePlist(PlistValue(PlistValue::Dictionary{{{"ShowStatusBar", true}}}), PlistFormat::Xml)},
      {"list is not an array",
       writePlist(PlistValue(PlistValue::Dictionary{{{"FXRecentFolders", "x"}}}),
                  PlistFormat::Xml)}};
  for (const auto& [name, content] : cases) {
    SCOPED_TRACE(name);
    std::filesystem::remove(sb_.path("~/Library/Preferences/com.apple.finder.plist"));
    if (!content.empty()) sb_.file("~/Library/Preferences/com.apple.finder.plist", content);
    EXPECT_TRUE(scanRecent()->childrens.empty());
  }
  // A list that is there but unreadable gives an empty group saying why.
  const std::string path = sb_.file("~/Library/Preferences/com.apple.finder.plist", "garbage");
  CategoryPtr recent = scanRecent();
  ASSERT_EQ(recent->childrens.size(), 1u);
  EXPECT_EQ(recent->childrens[0]->scanErrorDesc.str(),
            "not read: " + path + ": not an XML or binary property list");
}

TEST_F(SystemScanTest, SharedFileListsOfExtensionSflAreRead) {
  const std::string list = testing::writeSharedList(
      sb_, "com.apple.LSSharedFileList.RecentDocuments.sfl", testing::sharedList(sb_));
  // Not read: another extension, a hidden list, a list in a sub-folder, an
  // undecodable list.
  testing::writeSharedList(sb_, "com.apple.LSSharedFileList.RecentServers.sfl2",
                           testing::sharedList(sb_));
  testing::writeSharedList(sb_, ".hidden.sfl", testing::sharedList(sb_));
  testing::writeSharedList(sb_, "com.apple.LSSharedFileList.ApplicationRecentDocuments/a.sfl",
                           testing::sharedList(sb_));
  sb_.file("~/Library/Application Support/com.apple.sharedfilelist/broken.sfl", "garbage");
  // The XML form of an archive is read too.
  std::optional<std::string> archive = archivedDataWithRootObject(testing::sharedList(sb_));
  ASSERT_TRUE(archive);
  sb_.file("~/Library/Application Support/com.apple.sharedfilelist/xml.sfl",
           writePlist(*readPlist(*archive), PlistFormat::Xml));

  CategoryPtr recent = scanRecent();
  EXPECT_EQ(titlesOf(recent), (std::vector<std::string>{
                                  "com.apple.LSSharedFileList.RecentDocuments.sfl", "xml.sfl"}));
  for (const FilePtr& group : recent->childrens) {
    SCOPED_TRACE(group->title);
    EXPECT_EQ(group->levelInt, 0);
    // Named by "Name", else by the last component of the bookmark's path.
    EXPECT_EQ(titlesOf(group), (std::vector<std::string>{"Report.pdf", "Holiday.jpg", ""}));
    std::vector<std::string> uuids;
    for (const FilePtr& item : group->childrens) {
      uuids.push_back(attachmentText(item));
      EXPECT_EQ(item->url, group->url);  // the list, not the bookmarked file
      EXPECT_EQ(item->levelInt, 1);
    }
    EXPECT_EQ(uuids, (std::vector<std::string>{"U-1", "U-2", "U-3"}));
  }
  EXPECT_EQ(recent->childrens[0]->url.path(), list);
}

// Location is never listed; clients without an application are left out;
// a service granted in both databases appears once. (Which permission each
// item names, the clean checks by what it resets.)
TEST_F(SystemScanTest, PermissionsAreGroupedByApplication) {
  testing::makePermissionDatabases(sb_);
  CategoryPtr permissions = scanPermissions();
  ASSERT_EQ(titlesOf(permissions), (std::vector<std::string>{"Cam", "Recorder"}));
  const FilePtr cam = permissions->childrens[0];
  EXPECT_EQ(std::tuple(cam->url.path(), cam->url.isDirectory(), cam->removeCategory, cam->levelInt,
                       cam->attachInformation.has_value()),
            std::tuple(sb_.path("/Applications/Cam.app"), true, true, 1, false));
  EXPECT_EQ(titlesOf(cam),
            (std::vector<std::string>{"kTCCServiceCamera", "kTCCServiceMicrophone"}));
  for (size_t i = 0; i < cam->childrens.size(); ++i) {
    const FilePtr& item = cam->childrens[i];
    EXPECT_EQ(std::tuple(item->finderID(), item->parentFileInfo.lock(),
                         item->parentCategoryInfo.lock(), item->url.empty()),
              std::tuple(static_cast<int>(i), cam, nullptr, true));
  }
  EXPECT_EQ(titlesOf(permissions->childrens[1]),
            (std::vector<std::string>{"kTCCServiceScreenCapture"}));
}

TEST_F(SystemScanTest, MissingOrForeignPermissionDatabasesContributeNothing) {
  testing::makeApplication(sb_, "Cam", "com.example.cam");
  {
    testing::Db foreign(sb_.path("~/Library/Application Support/com.apple.TCC/TCC.db"));
    foreign.exec("CREATE TABLE admin (key TEXT PRIMARY KEY NOT NULL, value INTEGER NOT NULL);");
  }
  EXPECT_TRUE(scanPermissions()->childrens.empty());
  EXPECT_FALSE(std::filesystem::exists(sb_.path("/Library/Application Support/com.apple.TCC")));
}

// Near-miss service texts are no case. (The reset names are checked by what
// the clean resets.)
TEST(AppPermissionsNameTest, NearMissesAreNoCase) {
  EXPECT_EQ(AppPermissionsName::fromRawValue("kTCCServiceCamera"),
            AppPermissionsName(AppPermissionsName::kTCCServiceCamera));
  for (const char* text : {"", "kTCCService", "Camera", "kTCCServiceCamera ", "kTCCServicecamera"})
    EXPECT_EQ(AppPermissionsName::fromRawValue(text), std::nullopt) << text;
}

}  // namespace
}  // namespace orvexa
