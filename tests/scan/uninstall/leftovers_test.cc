#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "orvexa/platform/identity.h"
#include "orvexa/scan/uninstall/uninstall_scan_service.h"
#include "uninstall_fixtures.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::childPaths;
using testing::makeApp;
using testing::Sandbox;
using testing::Signal;

// A leftovers group as (title, member paths, size).
using Group = std::tuple<std::string, std::vector<std::string>, int64_t>;

std::vector<Group> groupsOf(const std::vector<CategoryPtr>& categories) {
  std::vector<Group> out;
  for (const CategoryPtr& c : categories) out.emplace_back(c->title, childPaths(c), c->size);
  return out;
}

// Sets the access and modification times of `path`, in seconds since 1970.
void setTimes(const std::string& path, time_t accessed, time_t modified) {
  struct timespec times[2] = {{accessed, 0}, {modified, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

CategoryPtr appCategory(const std::string& bundle, const std::string& title) {
  return std::make_shared<CategoryInformation>(
      0, 0, title, Image{}, 0, "", raw(CategoryInfomationKind::App),
      std::vector<Url>{Url::fromPath(bundle, true)}, std::vector<FilePtr>{}, nullptr, std::any{}, 1,
      false);
}

class LeftoversTest : public testing::UninstallFeatureTest {
 protected:
  std::vector<CategoryPtr> unusedOf(const std::vector<CategoryPtr>& categories) {
    Signal finished;
    std::vector<CategoryPtr> unused;
    int calls = 0;
    UninstallScanService::getUnusedAppPath(categories, [&](std::vector<CategoryPtr> list) {
      unused = std::move(list);
      ++calls;
      finished.notify();
    });
    EXPECT_TRUE(finished.wait());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(calls, 1);
    return unused;
  }
};

TEST_F(LeftoversTest, FilesOfRemovedApplicationsAreGroupedByName) {
  Identity::shared().setBundleIdentifier("org.example.host");
  makeApp(sb_, "/Applications/Foo.app", "com.example.foo", PlistFormat::Binary, "Foo Pro");
  const std::string gone = makeApp(sb_, "/Applications/Gone.app", "com.example.gone");
  sb_.layout({"~/Library/Preferences/com.example.foo.plist:10",
              "~/Library/Application Support/Foo Pro/db:20",
              "~/Library/Preferences/com.removed.editor.plist:30",
              "~/Library/Containers/com.removed.editor/Data/x:40",
              "/Library/LaunchDaemons/com.removed.editor.helper.plist:5",
              "~/Library/Preferences/com.apple.finder.plist:7",
              "~/Library/Containers/com.apple.mail/y:7", "~/Library/Preferences/.DS_Store:3",
              "~/Library/Application Support/Stale/z:9",
              "~/Library/Preferences/com.example.gone.plist:11",
              "~/Library/Application Support/org.example.host/log.txt:1",
              "~/Library/Preferences/org.a.plist:1", "~/Library/Preferences/org.a.plist.lockfile:1",
              "~/Library/Logs/org.a:1", "~/Library/Logs/com.applesauce.log:1"});
  ASSERT_TRUE(testing::runUninstallScan(feature_, queue_).finished);
  // Removed after the scan: its bundle can no longer be opened.
  fs::remove(gone + "/Contents/Info.plist");

  // The host's own folder is not a leftover. "com.apple" is compared as a
  // plain text prefix ("com.applesauce" counts as an Apple name too), and
  // ".plist" is taken out wherever it stands.
  const std::vector<Group> expected = {
      {"Stale", {sb_.path("~/Library/Application Support/Stale")}, 9},
      {"com.example.gone", {sb_.path("~/Library/Preferences/com.example.gone.plist")}, 11},
      {"com.removed.editor",
       {sb_.path("~/Library/Preferences/com.removed.editor.plist"),
        sb_.path("~/Library/Containers/com.removed.editor")},
       70},
      {"com.removed.editor.helper",
       {sb_.path("/Library/LaunchDaemons/com.removed.editor.helper.plist")},
       5},
      {"org.a",
       {sb_.path("~/Library/Preferences/org.a.plist"), sb_.path("~/Library/Logs/org.a")},
       2},
      {"org.a.lockfile", {sb_.path("~/Library/Preferences/org.a.plist.lockfile")}, 1},
  };
  std::vector<CategoryPtr> groups = UninstallScanService::getLeftoverAppPath(feature_);
  EXPECT_EQ(groupsOf(groups), expected);
  for (size_t i = 0; i < groups.size(); ++i) {
    SCOPED_TRACE(groups[i]->title);
    EXPECT_EQ(groups[i]->finderID(), static_cast<int>(i));
    EXPECT_EQ(groups[i]->urls.size(), groups[i]->childrens.size());
    for (const FilePtr& f : groups[i]->childrens)
      EXPECT_EQ(f->parentCategoryInfo.lock(), groups[i]);
  }
  ASSERT_GE(groups.size(), 3u);
  EXPECT_EQ(groups[2]->childrens[1]->fileKind, raw(FilesKind::Folder));
  EXPECT_EQ(groups[2]->childrens[0]->fileKind, raw(FilesKind::File));
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
  EXPECT_TRUE(unusedOf({}).empty());
}

TEST_F(LeftoversTest, SortCategoryTakesOutWhatWasDeleted) {
  auto record = [](const CategoryPtr& parent, int id, int64_t size, int state, DeleteStatus status,
                   std::string error = "") {
    auto f = std::make_shared<FileInformation>(
        state, id, parent->finderID(), "f" + std::to_string(id), Image{}, size, Timestamp{},
        Url::fromPath("/x/f" + std::to_string(id), false), "", true, false, std::any{},
        std::vector<FilePtr>{}, parent, raw(FilesKind::File), 0, nullptr);
    f->deleteStatus = raw(status);
    f->deleteErrorDesc = std::move(error);
    parent->childrens.push_back(f);
    return f;
  };
  CategoryPtr all = feature_->categoryInfo[0];
  CategoryPtr unused = feature_->categoryInfo[1];
  CategoryPtr leftovers = feature_->categoryInfo[2];
  CategoryPtr foo = appCategory("/x/Foo.app", "Foo");
  CategoryPtr fooCopy = appCategory("/y/Foo.app", "Foo");
  CategoryPtr bar = appCategory("/x/Bar.app", "Bar");
  CategoryPtr gone = appCategory("/x/gone", "gone");
  foo->childrenCateogry = std::vector<CategoryPtr>{fooCopy};
  all->childrenCateogry = std::vector<CategoryPtr>{foo, bar};
  unused->childrenCateogry = std::vector<CategoryPtr>{bar};  // the same object
  leftovers->childrenCateogry = std::vector<CategoryPtr>{gone};

  record(foo, 0, 100, 1, DeleteStatus::DeleteSuccess);
  record(foo, 1, 10, 1, DeleteStatus::DeleteError, "denied");
  FilePtr kept = record(foo, 2, 5, 0, DeleteStatus::None);
  record(fooCopy, 0, 50, 1, DeleteStatus::DeleteSuccess);  // the copy is gone entirely
  record(bar, 0, 7, 1, DeleteStatus::DeleteSuccess);
  record(bar, 1, 3, 1, DeleteStatus::None, "not tried");
  record(gone, 0, 20, 1, DeleteStatus::DeleteSuccess);

  auto [deleted, failed, errors, categories] = UninstallScanService::sortCategory(feature_);
  EXPECT_EQ(deleted, 100 + 50 + 7 + 20) << "bar counted once although listed twice";
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0]->size, 10);
  EXPECT_EQ(failed[1]->size, 3);
  EXPECT_EQ(errors, "denied,not tried,");
  EXPECT_EQ(categories, feature_->categoryInfo);

  ASSERT_EQ(foo->childrens.size(), 2u);
  EXPECT_EQ(foo->childrens[1], kept);
  EXPECT_EQ(foo->size, 15);
  EXPECT_TRUE(foo->childrenCateogry->empty()) << "the emptied copy is dropped";
  EXPECT_EQ(bar->size, 3);
  EXPECT_EQ(all->childrenCateogry->size(), 2u);
  EXPECT_EQ(all->size, 18);
  EXPECT_EQ(unused->size, 3);
  EXPECT_TRUE(leftovers->childrenCateogry->empty());
  EXPECT_EQ(leftovers->size, 0);
}

}  // namespace
}  // namespace orvexa
