#include <gtest/gtest.h>

#include "orvexa/platform/plist.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "support/browser_store_fixture.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using testing::titlesOf;

class SystemScanTest : public ::testing::Test {
 protected:
  testing::Sandbox sb_;
};

TEST_F(SystemScanTest, WithoutFinderListThereIsNoFinderGroup) {
  const std::string finder = "~/Library/Preferences/com.apple.finder.plist";
  EXPECT_TRUE(testing::scanned("Recent Item")->childrens.empty()) << "no file";
  sb_.file(finder, writePlist(PlistValue(PlistValue::Dictionary{{{"FXRecentFolders", "x"}}}),
                              PlistFormat::Xml));
  EXPECT_TRUE(testing::scanned("Recent Item")->childrens.empty()) << "the list is not an array";
  // A list that is there but unreadable gives an empty group saying why.
  const std::string path = sb_.file(finder, "garbage");
  CategoryPtr recent = testing::scanned("Recent Item");
  ASSERT_EQ(recent->childrens.size(), 1u);
  EXPECT_EQ(recent->childrens[0]->scanErrorDesc.str(),
            "not read: " + path + ": not an XML or binary property list");
}

TEST_F(SystemScanTest, SharedFileListsOfExtensionSflAreRead) {
  testing::writeSharedList(sb_, "com.apple.LSSharedFileList.RecentDocuments.sfl",
                           testing::sharedList(sb_));
  // Not read: another extension, a hidden list, a list in a sub-folder, an
  // undecodable list.
  for (const char* name : {"com.apple.LSSharedFileList.RecentServers.sfl2", ".hidden.sfl",
                           "com.apple.LSSharedFileList.ApplicationRecentDocuments/a.sfl"})
    testing::writeSharedList(sb_, name, testing::sharedList(sb_));
  sb_.file("~/Library/Application Support/com.apple.sharedfilelist/broken.sfl", "garbage");
  // The XML form of an archive is read too.
  std::optional<std::string> archive = archivedDataWithRootObject(testing::sharedList(sb_));
  ASSERT_TRUE(archive);
  sb_.file("~/Library/Application Support/com.apple.sharedfilelist/xml.sfl",
           writePlist(*readPlist(*archive), PlistFormat::Xml));

  CategoryPtr recent = testing::scanned("Recent Item");
  EXPECT_EQ(titlesOf(recent), (std::vector<std::string>{
                                  "com.apple.LSSharedFileList.RecentDocuments.sfl", "xml.sfl"}));
  for (const FilePtr& group : recent->childrens) {
    // "title uuid level" per item, named by "Name", else by the last component
    // of the bookmark's path; each item's address is the list's, not the
    // bookmarked file's.
    std::string items;
    for (const FilePtr& item : group->childrens)
      items += item->title + " " + testing::attachmentText(item) + " " +
               std::to_string(item->levelInt) + (item->url == group->url ? ", " : " elsewhere, ");
    EXPECT_EQ(items, "Report.pdf U-1 1, Holiday.jpg U-2 1,  U-3 1, ") << group->title;
  }
}

// Location is never listed; clients without an application are left out;
// a service granted in both databases appears once. (Which permission each
// item names, the clean checks by what it resets.)
TEST_F(SystemScanTest, PermissionsAreGroupedByApplication) {
  testing::makePermissionDatabases(sb_);
  CategoryPtr permissions = testing::scanned("Application Permissions");
  ASSERT_EQ(titlesOf(permissions), (std::vector<std::string>{"Cam", "Recorder"}));
  const FilePtr cam = permissions->childrens[0];
  EXPECT_EQ(cam->url.path(), sb_.path("/Applications/Cam.app"));
  EXPECT_EQ(titlesOf(cam),
            (std::vector<std::string>{"kTCCServiceCamera", "kTCCServiceMicrophone"}));
  EXPECT_EQ(titlesOf(permissions->childrens[1]),
            (std::vector<std::string>{"kTCCServiceScreenCapture"}));
}

}  // namespace
}  // namespace orvexa
