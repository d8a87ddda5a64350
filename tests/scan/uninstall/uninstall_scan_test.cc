#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>

#include "orvexa/scan/uninstall/uninstall_scan_service.h"
#include "support/run_as.h"
#include "uninstall_fixtures.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::listedApp;
using testing::makeApp;

using UninstallScanTest = testing::UninstallFeatureTest;

TEST_F(UninstallScanTest, WalkFilesCopiesTogetherAndKeepsSystemApplicationsOut) {
  makeApp(sb_, "/Applications/Foo.app", "com.example.foo");
  makeApp(sb_, "~/Applications/Foo.app", "com.example.foo", PlistFormat::Xml);
  makeApp(sb_, "/Applications/Safari.app", "com.apple.Safari");
  makeApp(sb_, "/Applications/Xcode.app", "com.apple.dt.Xcode");
  makeApp(sb_, "/Applications/Teaser.app", "com.setapp.teaser.Thing");
  makeApp(sb_, "/Applications/Utilities/Tool.app", "org.example.tool", PlistFormat::Xml);
  makeApp(sb_, "/Applications/.Hidden.app", "org.example.hidden");
  // Part of Xcode, not an application of its own.
  makeApp(sb_, "/Applications/Xcode.app/Contents/Applications/Inner.app", "org.example.inner");
  sb_.file("/Applications/Broken.app/Contents/Info.plist", "not a property list");
  sb_.dir("/Applications/NoPlist.app/Contents/MacOS");
  sb_.layout({"~/Library/Preferences/com.example.foo.plist:100",
              "~/Library/Containers/com.example.foo/Data/x:50",
              "~/Library/Application Support/Foo/db:30",
              "/Library/LaunchAgents/com.example.foo.agent.plist:7",
              "~/Library/Preferences/com.other.plist:9",
              "~/Library/Preferences/.com.example.foo.hidden.plist:9",
              "~/Library/Caches/com.example.foo/c:5"});
  fs::create_symlink("/nonexistent/target",
                     sb_.path("~/Library/Preferences/com.example.foo.dangling.plist"));
  const testing::ScanOutcome outcome = scan();
  ASSERT_TRUE(outcome.finished);
  EXPECT_TRUE(outcome.onMainQueue);
  const std::string related =
      ", /Library/LaunchAgents/com.example.foo.agent.plist, ~/Library/Application Support/Foo, "
      "~/Library/Containers/com.example.foo, ~/Library/Preferences/com.example.foo.plist\n";
  ASSERT_EQ(testing::listing(feature_, sb_),
            "Foo: /Applications/Foo.app" + related + "  Foo: ~/Applications/Foo.app" + related +
                "Tool: /Applications/Utilities/Tool.app\nXcode: /Applications/Xcode.app\n");
  const CategoryPtr first = listedApp(feature_, "Foo");
  int64_t total = 0;
  for (const CategoryPtr& app : {first, first->childrenCateogry->front()}) {
    EXPECT_EQ(app->size, testing::filesSize(app->urls[0].path()) + 7 + 30 + 50 + 100);
    total += app->size;
  }
  total += listedApp(feature_, "Tool")->size + listedApp(feature_, "Xcode")->size;
  EXPECT_EQ(std::pair(outcome.total, feature_->categoryInfo[0]->size), std::pair(total, total));
  // Eight bundles found (Foo twice, Safari, Xcode, Teaser, Tool, Broken,
  // NoPlist), each reported once, in order.
  ASSERT_EQ(outcome.singles.size(), 8u);
  EXPECT_EQ(outcome.singles[7].first, 7);
}

TEST_F(UninstallScanTest, MetadataQueryListIsFilteredByPlaceAndBlackList) {
  makeApp(sb_, "~/Applications (Parallels)/{6f1c} Applications.localized/Word.app",
          "com.microsoft.Word");
  makeApp(sb_, "~/Documents/Parallels/Paint.app", "com.example.paint");
  makeApp(sb_, "/System/Applications/Calculator.app", "com.example.calculator");
  fs::create_symlink(makeApp(sb_, "/System/Applications/Linked.app", "com.example.linked"),
                     sb_.dir("/Applications") + "/Linked.app");
  makeApp(sb_, "/Applications/VolApp.app", "com.example.volapp");
  sb_.dir("/Volumes/Macintosh HD");
  makeApp(sb_, "~/Downloads/Fusion.app", "com.vmware.fusion");
  makeApp(sb_, "/Applications/Top.app", "com.example.top");
  sb_.file("~/Documents/Virtual Machines.localized/Win.vmwarevm/disk.vmdk", 64);
  sb_.file("~/Library/Caches/com.vmware.fusion/cache", 16);
  // Lists all but Top.app, VolApp.app by its path on the volume, a file,
  // and the virtual machine.
  testing::fakeTool(sb_, "mdfind", testing::testData("uninstall/fake-mdfind.sh"));

  const testing::ScanOutcome outcome = scan();
  ASSERT_TRUE(outcome.finished);
  EXPECT_EQ(testing::listing(feature_, sb_),
            "Fusion: ~/Downloads/Fusion.app, ~/Documents/Virtual Machines.localized/Win.vmwarevm, "
            "~/Library/Caches/com.vmware.fusion\nTop: /Applications/Top.app\n"
            "VolApp: /Applications/VolApp.app\n");
  EXPECT_EQ(listedApp(feature_, "Fusion")->childrens[1]->size, 64);  // the virtual machine
  // The query's list plus the applications folder's own entries (Top.app;
  // Linked.app is a link, not a folder), each once: VolApp is listed by both.
  EXPECT_EQ(outcome.singles.size(), 3u);
}

TEST_F(UninstallScanTest, CandidatePathIdentifierAndBlackListRules) {
  const std::string r = sb_.root();
  const std::pair<std::string, bool> paths[] = {{r + "/Users/other/Downloads/D.app", true},
                                                {r + "/Applications/Parallels Desktop.app", true},
                                                {r + "/Applications/A.app/", false},
                                                {"/Applications/G.app", false}};
  for (const auto& [path, kept] : paths)
    EXPECT_EQ(UninstallScanService::isCandidatePath(path), kept) << path;
  const std::pair<const char*, bool> identifiers[] = {
      {"com.apple.safari", true}, {"com.apple", true}, {"com.setapp.Thing", true}, {"", false}};
  for (const auto& [identifier, listed] : identifiers)
    EXPECT_EQ(UninstallScanService::isListedIdentifier(identifier), listed) << identifier;
  // The host's black list replaces the system folder's.
  const std::string top = makeApp(sb_, "/Applications/Top.app", "com.example.top");
  makeApp(sb_, "/Applications/Other.app", "com.example.other");
  const std::string system = makeApp(sb_, "/System/Applications/Other.app", "com.example.sys");
  EXPECT_EQ(UninstallScanService::blackList(), std::vector<Url>{Url::fromPath(system)});
  UninstallScanService::setBlackList(std::vector<Url>{Url::fromPath(top)});
  ASSERT_TRUE(scan().finished);
  EXPECT_EQ(testing::listing(feature_, sb_), "Other: /Applications/Other.app\n");
}

TEST_F(UninstallScanTest, StopDuringTheQueryEndsWithoutDone) {
  makeApp(sb_, "/Applications/A.app", "com.example.a");
  // Lists A.app, then waits for /fake/go before listing B.app.
  testing::fakeTool(sb_, "mdfind", testing::testData("uninstall/fake-mdfind-slow.sh"));
  const std::string started = sb_.path("/fake/started");
  std::atomic<bool> doneCalled{false};
  UninstallScanService::scanUninstallerSoftware(
      feature_, nullptr, nullptr, nullptr, [&](const FeaturePtr&, int64_t) { doneCalled = true; },
      queue_);
  ASSERT_TRUE(testing::waitFor([&] { return fs::exists(started); }, std::chrono::seconds(20)));
  SuperScanService::stop(feature_);
  sb_.file("/fake/go", "");
  ASSERT_TRUE(testing::waitFor(
      [&] { return ScanStatusTable::get(feature_->finderID) == static_cast<int>(ScanState::end); },
      std::chrono::seconds(20)));
  queue_->waitUntilIdle();
  MainQueue::sync([] {});  // a `done` would have been queued before this
  EXPECT_FALSE(doneCalled);
  EXPECT_FALSE(feature_->categoryInfo[0]->childrenCateogry &&
               !feature_->categoryInfo[0]->childrenCateogry->empty());
}

TEST_F(UninstallScanTest, UnreadableFolderAndBrokenEntriesAreSkipped) {
  const std::string app = makeApp(sb_, "/Applications/Foo.app", "com.example.foo");
  sb_.layout({"~/Library/Preferences/com.example.foo.plist:3",
              "~/Library/Containers/com.example.foo/x:4", "~/Library/Logs/Foo.log:5"});
  fs::create_symlink("missing", sb_.path("~/Library/Logs/Foo.dangling"));
  // Everything readable by others, except the containers folder.
  for (const auto& entry : fs::recursive_directory_iterator(sb_.root())) {
    if (!entry.is_symlink()) ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
  }
  ASSERT_EQ(::chmod(sb_.root().c_str(), 0755), 0);
  const std::string containers = sb_.path("~/Library/Containers");
  ASSERT_EQ(::chmod(containers.c_str(), 0), 0);

  auto listing = [&] {
    return testing::joined(sb_, UninstallScanService::getAllCommonPath()) + " -- " +
           testing::joined(sb_, UninstallScanService::machAppInfoList(app));
  };
  std::optional<std::string> text =
      testing::canSwitchUser()
          ? testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, listing)
          : std::optional<std::string>(listing());
  ::chmod(containers.c_str(), 0755);
  EXPECT_EQ(text.value_or("not run"),
            "~/Library/Preferences/com.example.foo.plist, ~/Library/Logs/Foo.log -- "
            "~/Library/Logs/Foo.log, ~/Library/Preferences/com.example.foo.plist");
}

TEST_F(UninstallScanTest, SpecialApplicationFiles) {
  sb_.layout({"~/Library/Caches/com.google.Chrome/c:1",
              "~/Library/Application Support/Google/Chrome/Default/h:1",
              "~/Library/Application Support/Google/Drive/d:1",
              "~/Library/Caches/Google/Chrome/x:1", "~/Library/Safari/History.db:1",
              "~/Parallels/Windows 11.pvm/config.pvs:1", "~/Parallels/notes.txt:1"});
  const std::pair<const char*, const char*> cases[] = {
      {"com.google.Chrome",
       "~/Library/Caches/com.google.Chrome, ~/Library/Application Support/Google/Chrome, "
       "~/Library/Caches/Google/Chrome"},
      {"com.apple.Safari", "~/Library/Safari"},
      {"com.google.Chrome.canary", ""},  // not Chrome's data
      // Without the query tool: the virtual machines of the default folder.
      {"com.parallels.desktop.console", "~/Parallels/Windows 11.pvm"}};
  for (const auto& [identifier, files] : cases)
    EXPECT_EQ(testing::joined(sb_, UninstallScanService::getSpecialAppSpecialFile(identifier)),
              files)
        << identifier;
}

}  // namespace
}  // namespace orvexa
