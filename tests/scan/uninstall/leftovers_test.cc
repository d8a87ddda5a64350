#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "orvexa/platform/identity.h"
#include "orvexa/scan/uninstall/uninstall_scan_service.h"
#include "uninstall_fixtures.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::childPaths;
using testing::makeApp;
using testing::Sandbox;
using testing::setTimes;

CategoryPtr appCategory(const std::string& bundle, const std::string& title) {
  return std::make_shared<CategoryInformation>(
      0, 0, title, Image{}, 0, "", raw(CategoryInfomationKind::App),
      std::vector<Url>{Url::fromPath(bundle, true)}, std::vector<FilePtr>{}, nullptr, std::any{}, 1,
      false);
}

using LeftoversTest = testing::UninstallFeatureTest;
using testing::unusedOf;

std::string utf16le(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

// Which entries of the regular folders each installed application claims,
// and which are offered as leftovers. Names match whole; Info.plist files
// as real ones are (UTF-16 with a bare "&", no declaration and bytes after
// the root, unparseable) still make their application installed.
TEST_F(LeftoversTest, RelatedFilesAndLeftoversByName) {
  Identity::shared().setBundleIdentifier("org.example.host");
  const std::string go = makeApp(sb_, "/Applications/Go.app", "com.example.go");
  makeApp(sb_, "/Applications/Go Server.app", "com.example.go.server");
  makeApp(sb_, "/Applications/Bistro.app", "net.bistro.app", PlistFormat::Binary, "Caf\u00e9");
  makeApp(sb_, "/Applications/.Manager.app", "org.hidden.manager");
  fs::create_symlink(makeApp(sb_, "/opt/Linked.app", "net.linked.tool"),
                     sb_.path("/Applications/Linked.app"));
  makeApp(sb_, "/Applications/Foo.app", "com.example.foo");
  makeApp(sb_, "~/Applications/Foo.app", "com.example.foo", PlistFormat::Xml);
  auto info = [](const std::string& id, const std::string& more) {
    return "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" + id + "</string>" +
           more + "</dict></plist>";
  };
  sb_.file("/Applications/Google Chrome.app/Contents/Info.plist",
           utf16le("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n" +
                   info("com.google.Chrome", "<key>C</key><string>Google & co</string>")));
  sb_.file("/Applications/Utilities/Editor.app/Contents/Info.plist",
           info("org.example.editor",
                "<key>CFBundleName</key><string>Scribe</string><key>CFBundleDisplayName</key>"
                "<string>Writer</string><key>CFBundleExecutable</key><string>scribble</string>") +
               "\n\0<junk &"s);
  sb_.file("/Applications/Broken.app/Contents/Info.plist",
           "<plist><dict><key>CFBundleIdentifier</key> <string>org.example.broken</string><key>"
           "CFBundleName</key><string>Shattered</string><key>N</key><string>1 < 2</string>");

  const struct {
    const char* path;
    const char* owners;  // titles of the applications listing it
    bool leftover;
  } cases[] = {{"~/Library/Preferences/com.example.go.plist", "Go", false},
               {"~/Library/Preferences/com.example.go.helper.plist", "Go", false},
               {"~/Library/Application Support/Go", "Go", false},
               {"~/Library/Application Support/Go Data", "Go", false},
               {"~/Library/Application Support/Go Server Logs", "Go Server", false},
               {"~/Library/Application Support/GoodNotes", "", true},
               {"~/Library/Logs/Editorial", "", true},
               // The vendor of an installed identifier keeps its other names.
               {"~/Library/Preferences/com.example.gone.plist", "", false},
               {"~/Library/Application Support/Google", "", false},
               {"~/Library/Preferences/com.google.Keystone.Agent.plist", "", false},
               // Every name an application goes by, as far as its Info.plist shows.
               {"~/Library/Application Support/Scribe", "Editor", false},
               {"~/Library/Application Support/Writer Templates", "Editor", false},
               {"~/Library/Logs/scribble.log", "Editor", false},
               {"~/Library/Application Support/Broken", "", false},
               {"~/Library/Application Support/Shattered", "", false},
               {"~/Library/Containers/org.example.broken", "", false},
               {"~/Library/Containers/net.linked.tool", "", false},
               {"~/Library/Containers/org.hidden.manager", "", false},
               {"~/Library/Application Support/Cafe\u0301 Data", "", false},
               {"~/Library/Application Support/org.example.host", "", false},
               // Two copies list the data they share.
               {"~/Library/Containers/com.example.foo", "Foo Foo", false},
               // The system's and everybody's entries.
               {"~/Library/Preferences/com.apple.finder.plist", "", false},
               {"~/Library/Preferences/ByHost", "", false},
               {"~/Library/Application Support/Dock", "", false},
               {"/Library/Preferences/org.cups.printers.plist", "", false},
               {"~/Library/Application Support/Audio Hijack", "", true},
               {"/Users/Shared/Family Photos", "", false},
               {"/Users/Shared/Go Stuff", "", false},
               {"/Users/Shared/com.example.go", "Go", false},
               {"/Users/Shared/com.removed.tool", "", true},
               {"~/Library/Preferences/com.removed.editor.plist", "", true},
               {"~/Library/Containers/com.removed.editor", "", true}};
  for (const auto& c : cases) {
    const std::string_view path = c.path;
    const bool file = path.ends_with(".plist") || path.ends_with(".log");
    sb_.file(std::string(path) + (file ? "" : "/x"), 5);
  }
  ASSERT_TRUE(testing::runUninstallScan(feature_, queue_).finished);

  std::vector<CategoryPtr> apps;
  for (const CategoryPtr& app : *feature_->categoryInfo[0]->childrenCateogry) {
    apps.push_back(app);
    if (app->childrenCateogry)
      apps.insert(apps.end(), app->childrenCateogry->begin(), app->childrenCateogry->end());
  }
  std::vector<CategoryPtr> groups = UninstallScanService::getLeftoverAppPath(feature_);
  std::set<std::string> leftovers;
  for (const CategoryPtr& g : groups)
    for (const std::string& path : childPaths(g)) leftovers.insert(path);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string owners;
    for (const CategoryPtr& app : apps) {
      if (std::ranges::count(childPaths(app), sb_.path(c.path)) != 0)
        owners += (owners.empty() ? "" : " ") + app->title;
    }
    EXPECT_EQ(owners, c.owners);
    EXPECT_EQ(leftovers.count(sb_.path(c.path)), c.leftover ? 1u : 0u);
  }
  // Grouped by name, ".plist" taken out, each saying why.
  ASSERT_EQ(groups.size(), 5u);
  EXPECT_EQ(
      testing::joined(sb_, childPaths(groups[3])),
      "~/Library/Preferences/com.removed.editor.plist, ~/Library/Containers/com.removed.editor");
  EXPECT_EQ(
      std::pair(groups[2]->description, groups[3]->description),
      std::pair(std::string("named \"GoodNotes\", which no installed application is called"),
                std::string("named after com.removed.editor, which no installed application has")));
  // With candidates given, only those are looked at.
  const std::vector<std::string> given = {sb_.path("/elsewhere/Go.txt"),
                                          sb_.path("/elsewhere/Gopher")};
  EXPECT_EQ(UninstallScanService::machAppInfoList(go, &given), std::set<std::string>{given[0]});
}

// With the metadata tool: unused means no "kMDItemLastUsedDate" (or no
// bundle). Without it: the executable's access time is not after its
// modification time.
TEST_F(LeftoversTest, UnusedFollowsTheMetadataToolOrElseAccessTimes) {
  const std::string used = makeApp(sb_, "/Applications/Used.app", "com.example.used");
  const std::string never = makeApp(sb_, "/Applications/Never.app", "com.example.never");
  ASSERT_NO_FATAL_FAILURE(setTimes(used + "/Contents/MacOS/main", 1'700'000'100, 1'700'000'000));
  ASSERT_NO_FATAL_FAILURE(setTimes(never + "/Contents/MacOS/main", 1'700'000'000, 1'700'000'000));
  CategoryPtr n = appCategory(never, "Never");
  CategoryPtr u = appCategory(used, "Used");
  EXPECT_EQ(unusedOf({u, n}), std::vector<CategoryPtr>{n});

  testing::fakeTool(
      sb_, "mdls",
      "echo 'kMDItemFSSize = 12'\n"
      "case \"$1\" in *Used.app) echo 'kMDItemLastUsedDate = 2024-01-02 03:04:05 +0000' ;; esac\n");
  ASSERT_NO_FATAL_FAILURE(setTimes(used + "/Contents/MacOS/main", 1'700'000'000, 1'700'000'000));
  CategoryPtr missing = appCategory(sb_.path("/Applications/Missing.app"), "Missing");
  // The same objects, in the given order.
  EXPECT_EQ(unusedOf({n, u, missing}), (std::vector<CategoryPtr>{n, missing}));
}

TEST_F(LeftoversTest, SortCategoryTakesOutWhatWasDeleted) {
  // Ticked records (state 1) with their outcome; the rest stay unticked.
  auto record = [](const CategoryPtr& parent, int64_t size, int state, DeleteStatus status,
                   std::string error = "") {
    auto f = std::make_shared<FileInformation>(
        state, 0, 0, "f", Image{}, size, Timestamp{}, Url::fromPath("/x/f", false), "", true, false,
        std::any{}, std::vector<FilePtr>{}, parent, raw(FilesKind::File), 0, nullptr);
    f->deleteStatus = raw(status);
    f->deleteErrorDesc = std::move(error);
    parent->childrens.push_back(f);
    return f;
  };
  CategoryPtr all = feature_->categoryInfo[0];
  CategoryPtr unused = feature_->categoryInfo[1];
  CategoryPtr foo = appCategory("/x/Foo.app", "Foo");
  CategoryPtr fooCopy = appCategory("/y/Foo.app", "Foo");
  CategoryPtr bar = appCategory("/x/Bar.app", "Bar");
  foo->childrenCateogry = std::vector<CategoryPtr>{fooCopy};
  all->childrenCateogry = std::vector<CategoryPtr>{foo, bar};
  unused->childrenCateogry = std::vector<CategoryPtr>{bar};  // the same object
  record(foo, 100, 1, DeleteStatus::DeleteSuccess);
  record(foo, 10, 1, DeleteStatus::DeleteError, "denied");
  FilePtr kept = record(foo, 5, 0, DeleteStatus::None);
  record(fooCopy, 50, 1, DeleteStatus::DeleteSuccess);  // the copy is gone entirely
  record(bar, 7, 1, DeleteStatus::DeleteSuccess);
  record(bar, 3, 1, DeleteStatus::None, "not tried");

  auto [deleted, failed, errors, categories] = UninstallScanService::sortCategory(feature_);
  // Bar is counted once although listed twice; the emptied copy is dropped.
  EXPECT_EQ(std::tuple(deleted, failed.size(), failed.at(1)->size, errors, categories),
            std::tuple(100 + 50 + 7, 2u, 3, "denied,not tried,", feature_->categoryInfo));
  EXPECT_EQ(std::tuple(foo->childrens, foo->childrenCateogry->empty(), all->size, unused->size),
            std::tuple(std::vector<FilePtr>{foo->childrens[0], kept}, true, 18, 3));
}

}  // namespace
}  // namespace orvexa
