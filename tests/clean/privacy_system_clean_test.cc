#include <gtest/gtest.h>

#include <filesystem>

#include "orvexa/clean/privacy_clean_service.h"
#include "orvexa/platform/keyed_archive.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "support/browser_store_fixture.h"
#include "support/describe.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::describeOutcome;
using testing::describeRecords;
using testing::groupTitled;
using testing::readFile;
using testing::Sandbox;
using testing::tick;
using testing::titlesOf;

class PrivacySystemCleanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    killallLog_ = sb_.path("/killall.log");
    Paths::shared().setTool("killall", testing::fakeTool(sb_, "killall", killallLog_, ""));
  }

  Sandbox sb_;
  std::string killallLog_;
};

// What goes of the Finder's list and of a shared list, by the ticks: only
// ticked positions (0 and 3 of the list) and uuids, in the file's own format;
// nothing ticked runs neither killall; a web address names no list; lists
// unreadable by the clean fail their items and stay.
TEST_F(PrivacySystemCleanTest, FinderPositionsAndSharedListUuidsThatAreTickedGo) {
  const std::string preferences = testing::makeFinderRecents(sb_);
  const std::string list = testing::writeSharedList(
      sb_, "com.apple.LSSharedFileList.RecentDocuments.sfl", testing::sharedList(sb_));
  const std::string other = testing::writeSharedList(
      sb_, "com.apple.LSSharedFileList.RecentApplications.sfl", testing::sharedList(sb_));
  const std::string before = readFile(preferences) + readFile(list);
  CategoryPtr recent = testing::scanned("Recent Item");
  const FilePtr finder = groupTitled(recent, "Finder Item");
  const FilePtr shared = groupTitled(recent, "com.apple.LSSharedFileList.RecentDocuments.sfl");
  // The Finder's items name positions in its list, the entry that is not a
  // folder skipped; they have no address of their own.
  EXPECT_TRUE(finder->url.path() == preferences && !finder->removeCategory);
  EXPECT_EQ(titlesOf(finder), (std::vector<std::string>{"Documents", "Projects", ""}));
  for (const FilePtr& item : finder->childrens) EXPECT_TRUE(item->url.empty()) << item->title;

  EXPECT_EQ(PrivacyCleanService::cleanRecentItem(recent).first, PrivacyDeleteEnum::Success);
  EXPECT_EQ(readFile(preferences) + readFile(list), before);
  EXPECT_FALSE(std::filesystem::exists(killallLog_));

  tick(finder, {0, 2});
  tick(shared, {1});
  // As a host may hand it back: a web address whose path part is the other
  // list's.
  const FilePtr fromWeb =
      groupTitled(recent, "com.apple.LSSharedFileList.RecentApplications.sfl")->childrens[0];
  fromWeb->url = Url::fromString("https://lists.example" + percentEncodePath(other));
  fromWeb->state = 1;
  EXPECT_EQ(describeOutcome(PrivacyCleanService::cleanRecentItem(recent)),
            "Fail\nReport.pdf failed: Not a file: " + fromWeb->url.absoluteString() + "\n");
  fromWeb->state = 0;
  // The Finder's list loses its entries 0 and 3; the rest of the
  // preferences stays, in the file's own format.
  PlistValue finderLeft = testing::storePlist(sb_, "finder_preferences.plist");
  PlistValue::Array& folders = *finderLeft.find("FXRecentFolders")->asArray();
  folders.erase(folders.begin() + 3);
  folders.erase(folders.begin());
  EXPECT_EQ(readPlistFile(preferences), finderLeft);
  EXPECT_EQ(readFile(preferences).substr(0, 8), "bplist00");
  EXPECT_EQ(describeRecords({finder}) + describeRecords(finder->childrens),
            "Finder Item deleted\nProjects -\n");
  // The rewritten archive decodes to the list less that entry (U-2); the
  // other list is untouched.
  PlistValue expected = testing::sharedList(sb_);
  EXPECT_EQ(unarchiveObjectWithData(readFile(other)), expected);
  PlistValue::Array& items = *expected.find("items")->asArray();
  items.erase(items.begin() + 1);
  EXPECT_EQ(unarchiveObjectWithData(readFile(list)), expected);
  EXPECT_EQ(readFile(killallLog_), "Finder\nsharedfilelistd\n");

  std::filesystem::remove(killallLog_);
  tick(finder, {0});
  tick(shared, {0});
  sb_.file("~/Library/Preferences/com.apple.finder.plist", "garbage");
  sb_.file(list.substr(sb_.root().size()), "garbage");
  const std::string outcome = describeOutcome(PrivacyCleanService::cleanRecentItem(recent));
  EXPECT_EQ(outcome + describeRecords({finder, shared}) + describeRecords(finder->childrens) +
                describeRecords(shared->childrens),
            "Fail\nProjects failed: Write File Error!\nReport.pdf failed: not an XML or binary "
            "property list\n"
            "Finder Item failed\ncom.apple.LSSharedFileList.RecentDocuments.sfl failed\n"
            "Projects failed: Write File Error!\nReport.pdf failed: not an XML or binary property "
            "list\n -\n");
  EXPECT_EQ(readFile(preferences) + readFile(list), "garbagegarbage");
  EXPECT_FALSE(std::filesystem::exists(killallLog_));
}

// Ticked permissions are reset by tccutil, and an application whose every
// permission was reset leaves the category; what the tool refuses fails
// with its words, a permission it cannot reset is not asked for, and an
// application that is gone is skipped untouched.
TEST_F(PrivacySystemCleanTest, PermissionResetRunsTccutil) {
  testing::makePermissionDatabases(sb_);
  const std::string log = sb_.path("/tccutil.log");
  auto tool = [&](const std::string& output) {
    std::filesystem::remove(log);
    Paths::shared().setTool("tccutil", testing::fakeTool(sb_, "tccutil", log, output));
  };
  tool("Successfully reset Camera approval status for com.example.cam");
  CategoryPtr permissions = testing::scanned("Application Permissions");
  tick(permissions->childrens[0], {0, 1});  // Camera, Microphone: the whole application
  EXPECT_EQ(PrivacyCleanService::cleanApplicationPermission(permissions).first,
            PrivacyDeleteEnum::Success);
  EXPECT_EQ(readFile(log), "reset Camera com.example.cam\nreset Microphone com.example.cam\n");
  EXPECT_EQ(titlesOf(permissions), (std::vector<std::string>{"Recorder"}));
  EXPECT_EQ(permissions->childrens[0]->finderID(), 0);

  tool("tccutil: No such bundle identifier");
  permissions = testing::scanned("Application Permissions");
  const FilePtr cam = permissions->childrens[0];
  // A permission the tool cannot reset, as a host might hand it in.
  cam->childrens[1]->attachInformation =
      AppPermissionsName(AppPermissionsName::kTCCServiceLocation);
  tick(cam, {0, 1});
  const std::string outcome =
      describeOutcome(PrivacyCleanService::cleanApplicationPermission(permissions));
  EXPECT_EQ(outcome + describeRecords({cam}) + describeRecords(cam->childrens),
            "Fail\nkTCCServiceCamera failed: tccutil: No such bundle identifier\nCam failed\n"
            "kTCCServiceCamera failed: tccutil: No such bundle identifier\nkTCCServiceMicrophone "
            "deleting\n");
  EXPECT_EQ(readFile(log), "reset Camera com.example.cam\n");

  // Neither an application that is gone nor one named by a web address (as
  // a host may hand it back) whose path part is the application's is reset.
  permissions = testing::scanned("Application Permissions");
  std::filesystem::remove_all(sb_.path("/Applications/Recorder.app"));
  const FilePtr webCam = permissions->childrens[0], recorder = permissions->childrens[1];
  webCam->url = Url::fromString("https://apps.example" + percentEncodePath(webCam->url.path()));
  tick(webCam, {0});
  tick(recorder, {0});
  std::filesystem::remove(log);
  PrivacyCleanService::cleanApplicationPermission(permissions);
  EXPECT_EQ(describeRecords({webCam, webCam->childrens[0], recorder, recorder->childrens[0]}),
            "Cam -\nkTCCServiceCamera -\nRecorder -\nkTCCServiceScreenCapture -\n");
  EXPECT_FALSE(std::filesystem::exists(log));
}

}  // namespace
}  // namespace orvexa
