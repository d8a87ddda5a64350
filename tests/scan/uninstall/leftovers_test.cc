#include <gtest/gtest.h>

#include <filesystem>

#include "orvexa/platform/identity.h"
#include "orvexa/scan/uninstall/uninstall_scan_service.h"
#include "uninstall_fixtures.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::childPaths;
using testing::makeApp;
using testing::setTimes;

CategoryPtr appCategory(const std::string& bundle, const std::string& title) {
  return std::make_shared<CategoryInformation>(
      0, 0, title, Image{}, 0, "", raw(CategoryInfomationKind::App),
      std::vector<Url>{Url::fromPath(bundle, true)}, std::vector<FilePtr>{}, nullptr, std::any{}, 1,
      false);
}

using LeftoversTest = testing::UninstallFeatureTest;

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
  // Info.plist files as real ones are: UTF-16 with a bare "&" (Google
  // Chrome), no declaration and bytes after the root (Utilities/Editor,
  // whose names are Scribe, Writer and scribble), unparseable (Broken,
  // named Shattered).
  fs::copy(ORVEXA_TEST_DATA_DIR "/uninstall/mac", sb_.root(), fs::copy_options::recursive);
  // Each entry with the titles of the applications listing it, or
  // "leftover".
  const std::pair<const char*, const char*> cases[] = {
      {"~/Library/Preferences/com.example.go.plist", "Go"},
      {"~/Library/Preferences/com.example.go.helper.plist", "Go"},
      {"~/Library/Application Support/Go", "Go"},
      {"~/Library/Application Support/Go Data", "Go"},
      {"~/Library/Application Support/Go Server Logs", "Go Server"},
      {"~/Library/Application Support/GoodNotes", "leftover"},
      {"~/Library/Logs/Editorial", "leftover"},
      // The vendor of an installed identifier keeps its other names.
      {"~/Library/Preferences/com.example.gone.plist", ""},
      {"~/Library/Application Support/Google", ""},
      {"~/Library/Preferences/com.google.Keystone.Agent.plist", ""},
      // Every name an application goes by, as far as its Info.plist shows.
      {"~/Library/Application Support/Scribe", "Editor"},
      {"~/Library/Application Support/Writer Templates", "Editor"},
      {"~/Library/Logs/scribble.log", "Editor"},
      {"~/Library/Application Support/Broken", ""},
      {"~/Library/Application Support/Shattered", ""},
      {"~/Library/Containers/org.example.broken", ""},
      {"~/Library/Containers/net.linked.tool", ""},
      {"~/Library/Containers/org.hidden.manager", ""},
      {"~/Library/Application Support/Cafe\u0301 Data", ""},
      {"~/Library/Application Support/org.example.host", ""},
      // Two copies list the data they share.
      {"~/Library/Containers/com.example.foo", "Foo Foo"},
      // The system's and everybody's entries.
      {"~/Library/Preferences/com.apple.finder.plist", ""},
      {"~/Library/Preferences/ByHost", ""},
      {"~/Library/Application Support/Dock", ""},
      {"/Library/Preferences/org.cups.printers.plist", ""},
      {"~/Library/Application Support/Audio Hijack", "leftover"},
      {"/Users/Shared/Family Photos", ""},
      {"/Users/Shared/Go Stuff", ""},
      {"/Users/Shared/com.example.go", "Go"},
      {"/Users/Shared/com.removed.tool", "leftover"},
      {"~/Library/Preferences/com.removed.editor.plist", "leftover"},
      {"~/Library/Containers/com.removed.editor", "leftover"}};
  for (const auto& [path, outcome] : cases) {
    const bool file =
        std::string_view(path).ends_with(".plist") || std::string_view(path).ends_with(".log");
    sb_.file(std::string(path) + (file ? "" : "/x"), 5);
  }
  ASSERT_TRUE(scan().finished);

  const std::vector<CategoryPtr> groups = UninstallScanService::getLeftoverAppPath(feature_);
  std::map<std::string, std::string> outcomes;
  for (const CategoryPtr& g : groups)
    for (const std::string& path : childPaths(g)) outcomes[path] = "leftover";
  auto claim = [&](const CategoryPtr& app) {
    for (const std::string& path : childPaths(app))
      outcomes[path] += (outcomes[path].empty() ? "" : " ") + app->title;
  };
  for (const CategoryPtr& app : *feature_->categoryInfo[0]->childrenCateogry) {
    claim(app);
    for (const CategoryPtr& copy : app->childrenCateogry.value_or(std::vector<CategoryPtr>{}))
      claim(copy);
  }
  for (const auto& [path, outcome] : cases) EXPECT_EQ(outcomes[sb_.path(path)], outcome) << path;
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
  EXPECT_EQ(testing::unusedOf({u, n}), std::vector<CategoryPtr>{n});

  // The tool gives Used.app a date of last use.
  testing::fakeTool(sb_, "mdls", testing::testData("uninstall/fake-mdls.sh"));
  ASSERT_NO_FATAL_FAILURE(setTimes(used + "/Contents/MacOS/main", 1'700'000'000, 1'700'000'000));
  CategoryPtr missing = appCategory(sb_.path("/Applications/Missing.app"), "Missing");
  // The same objects, in the given order.
  EXPECT_EQ(testing::unusedOf({n, u, missing}), (std::vector<CategoryPtr>{n, missing}));
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
