#include "orvexa/platform/directory_enumerator.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <thread>

#include "orvexa/platform/file_manager.h"
#include "support/deep_tree.h"
#include "support/run_as.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::TempDir;
using Options = EnumerationOptions;

// root/
//   .dotfile  .hidden/inner.txt  My.app/Contents/Info.plist
//   a/c/d.txt  a/z.dat  b.txt  link -> a
class DirectoryEnumeratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.writeFile("root/.dotfile", "dot");
    dir_.writeFile("root/.hidden/inner.txt", "inner");
    dir_.writeFile("root/My.app/Contents/Info.plist", "<plist/>");
    dir_.writeFile("root/a/c/d.txt", "dddd");
    dir_.writeFile("root/a/z.dat", "zz");
    dir_.writeFile("root/b.txt", "bbb");
    ASSERT_EQ(::symlink((dir_ / "root/a").c_str(), (dir_ / "root/link").c_str()), 0);
    root_ = dir_ / "root";
  }

  // "relative path@level" for every item, in visit order.
  std::vector<std::string> walk(DirectoryEnumerator& e, const std::string& skipBelow = {}) {
    std::vector<std::string> visited;
    while (auto item = e.next()) {
      std::string relative = item->path.substr(root_.size() + 1);
      visited.push_back(relative + "@" + std::to_string(e.level()));
      if (relative == skipBelow) e.skipDescendants();
    }
    return visited;
  }

  TempDir dir_;
  std::string root_;
};

using Visits = std::vector<std::string>;

// Depth first, in name order, with levels; each option leaves out what it names.
TEST_F(DirectoryEnumeratorTest, VisitOrderAndOptions) {
  struct Case {
    std::string name;
    Options options;
    Visits visits;
  };
  const Case cases[] = {
      {"none",
       Options::none,
       {".dotfile@1", ".hidden@1", ".hidden/inner.txt@2", "My.app@1", "My.app/Contents@2",
        "My.app/Contents/Info.plist@3", "a@1", "a/c@2", "a/c/d.txt@3", "a/z.dat@2", "b.txt@1",
        "link@1"}},
      {"hidden",
       Options::skipsHiddenFiles,
       {"My.app@1", "My.app/Contents@2", "My.app/Contents/Info.plist@3", "a@1", "a/c@2",
        "a/c/d.txt@3", "a/z.dat@2", "b.txt@1", "link@1"}},
      {"packages",
       Options::skipsPackageDescendants,
       {".dotfile@1", ".hidden@1", ".hidden/inner.txt@2", "My.app@1", "a@1", "a/c@2", "a/c/d.txt@3",
        "a/z.dat@2", "b.txt@1", "link@1"}},
      {"subdirectories",
       Options::skipsSubdirectoryDescendants,
       {".dotfile@1", ".hidden@1", "My.app@1", "a@1", "b.txt@1", "link@1"}},
      {"all three",
       Options::skipsHiddenFiles | Options::skipsPackageDescendants |
           Options::skipsSubdirectoryDescendants,
       {"My.app@1", "a@1", "b.txt@1", "link@1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DirectoryEnumerator e(root_, c.options);
    EXPECT_EQ(walk(e), c.visits);
  }
  // The caller skips below a folder; skipping below a file changes nothing.
  DirectoryEnumerator e(root_, Options::skipsHiddenFiles | Options::skipsPackageDescendants);
  EXPECT_EQ(walk(e, "a"), (Visits{"My.app@1", "a@1", "b.txt@1", "link@1"}));
  DirectoryEnumerator f(root_, Options::skipsHiddenFiles);
  EXPECT_EQ(walk(f, "a/c/d.txt").size(), 9u);
}

TEST_F(DirectoryEnumeratorTest, ReportsResourceValues) {
  DirectoryEnumerator e(root_, Options::none, {}, ResourceFetch::withType);
  std::map<std::string, ResourceValues> byName;
  while (auto item = e.next()) byName[item->path.substr(root_.size() + 1)] = *item;

  const ResourceValues& app = byName.at("My.app");
  EXPECT_TRUE(app.isDirectory);
  EXPECT_TRUE(app.isPackage);
  EXPECT_FALSE(app.fileSize);  // folders have no size of their own
  EXPECT_EQ(app.localizedName, "My");
  EXPECT_EQ(app.contentType, "com.apple.application-bundle");

  const ResourceValues& link = byName.at("link");
  EXPECT_TRUE(link.isSymbolicLink);
  EXPECT_FALSE(link.isDirectory);
  EXPECT_FALSE(link.isRegularFile);
  EXPECT_EQ(link.fileSize, static_cast<int64_t>((dir_ / "root/a").size()));
  EXPECT_EQ(byName.count("link/c"), 0u);  // never followed

  const ResourceValues& text = byName.at("b.txt");
  EXPECT_TRUE(text.isRegularFile);
  EXPECT_FALSE(text.isHidden);
  EXPECT_EQ(text.fileSize, 3);
  EXPECT_TRUE(text.creationDate && text.modificationDate && text.accessDate);
  EXPECT_LE(*text.creationDate, *text.modificationDate);

  EXPECT_TRUE(byName.at(".hidden").isHidden);
  EXPECT_EQ(byName.at("a").localizedTypeDescription, "Folder");

  // Without the type values nothing reads the files.
  DirectoryEnumerator basic(root_, Options::skipsSubdirectoryDescendants);
  while (auto item = basic.next()) {
    SCOPED_TRACE(item->path);
    EXPECT_TRUE(item->contentType.empty());
    EXPECT_TRUE(item->effectiveIcon.empty());
  }
}

TEST_F(DirectoryEnumeratorTest, RootThatIsALinkIsFollowed) {
  DirectoryEnumerator e(dir_ / "root/link");
  std::vector<std::string> paths;
  while (auto item = e.next()) paths.push_back(item->path);
  EXPECT_EQ(paths, (std::vector<std::string>{dir_ / "root/link/c", dir_ / "root/link/c/d.txt",
                                             dir_ / "root/link/z.dat"}));
}

struct Reported {
  std::vector<std::string> errors;
  DirectoryEnumerator::ErrorHandler handler(bool answer) {
    return [this, answer](const std::string& path, const std::string& error) {
      errors.push_back(path + ": " + error);
      return answer;
    };
  }
};

TEST_F(DirectoryEnumeratorTest, RootThatIsNoFolderIsReported) {
  struct Case {
    std::string root;
    std::string error;
  };
  const Case cases[] = {
      {dir_ / "root/b.txt", "Not a directory"},
      {dir_ / "root/missing", "No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root);
    Reported reported;
    DirectoryEnumerator e(c.root, Options::none, reported.handler(true));
    EXPECT_FALSE(e.next());
    EXPECT_FALSE(e.next());
    EXPECT_EQ(reported.errors, std::vector<std::string>{c.root + ": " + c.error});
  }
}

TEST_F(DirectoryEnumeratorTest, FolderThatVanishesIsReportedAndSkipped) {
  for (bool carryOn : {true, false}) {
    SCOPED_TRACE(carryOn ? "handler continues" : "handler stops");
    Reported reported;
    DirectoryEnumerator e(root_, Options::skipsHiddenFiles, reported.handler(carryOn));
    Visits visits;
    while (auto item = e.next()) {
      std::string relative = item->path.substr(root_.size() + 1);
      visits.push_back(relative);
      if (relative == "a") std::filesystem::rename(dir_ / "root/a", dir_ / "gone");
    }
    std::filesystem::rename(dir_ / "gone", dir_ / "root/a");
    EXPECT_EQ(reported.errors, std::vector<std::string>{root_ + "/a: No such file or directory"});
    if (carryOn) {
      EXPECT_EQ(visits, (Visits{"My.app", "My.app/Contents", "My.app/Contents/Info.plist", "a",
                                "b.txt", "link"}));
    } else {
      EXPECT_EQ(visits, (Visits{"My.app", "My.app/Contents", "My.app/Contents/Info.plist", "a"}));
    }
  }
}

TEST_F(DirectoryEnumeratorTest, UnreadableFolderOnDiskIsReportedAndSkipped) {
  // Root reads any folder: the walk then runs as an unprivileged user.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((dir_ / "root/a").c_str(), 0), 0);
  auto run = [this]() {
    std::string text;
    DirectoryEnumerator e(root_, Options::skipsHiddenFiles,
                          [&text](const std::string& path, const std::string& error) {
                            text += "error " + path + ": " + error + "\n";
                            return true;
                          });
    while (auto item = e.next()) text += item->path.substr(root_.size() + 1) + "\n";
    return text;
  };
  std::optional<std::string> text;
  if (testing::canSwitchUser()) {
    text = testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, run);
  } else {
    text = run();
  }
  ::chmod((dir_ / "root/a").c_str(), 0755);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "My.app\nMy.app/Contents\nMy.app/Contents/Info.plist\na\nerror " + root_ +
                       "/a: Permission denied\nb.txt\nlink\n");
}

size_t openDescriptorCount() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

TEST(DirectoryEnumeratorDeepTest, WalksTenThousandLevelsWithFewDescriptors) {
  testing::ScratchDir dir;
  constexpr int kDepth = 10000;
  ASSERT_EQ(testing::makeDeepChain(dir.path(), kDepth, "d", 0, 5), 1);
  const size_t before = openDescriptorCount();

  DirectoryEnumerator e(dir.path());
  int count = 0;
  int deepest = 0;
  size_t openAtBottom = 0;
  int64_t sizes = 0;
  std::optional<ResourceValues> bottom;
  while (auto item = e.next()) {
    ++count;
    deepest = std::max(deepest, e.level());
    sizes += item->fileSize.value_or(0);
    if (item->name == "f") {
      bottom = item;
      openAtBottom = openDescriptorCount();
    }
  }
  EXPECT_EQ(count, kDepth + 1);
  EXPECT_EQ(deepest, kDepth + 1);
  ASSERT_TRUE(bottom);
  EXPECT_EQ(bottom->fileSize, 5);
  EXPECT_EQ(sizes, 5);
  EXPECT_EQ(bottom->path.size(), dir.path().size() + 2 * kDepth + std::string("/f").size());
  EXPECT_LE(openAtBottom, before + 50);
  EXPECT_EQ(treeLogicalSize(dir.path()), sizes);

  // Removal copes with the depth too (and leaves the temporary folder empty).
  ASSERT_TRUE(removeItem(dir.path() + "/d").ok());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// Every folder holds a folder "d" and, after it, a file "f": each folder is
// needed again after its sub-tree, long after its descriptor was closed. The
// folder descriptor must still name the folder of the item just returned
// (none before and after the walk).
TEST(DirectoryEnumeratorDeepTest, ReopensFoldersClosedToSaveDescriptors) {
  testing::ScratchDir dir;
  constexpr int kDepth = 300;
  ASSERT_EQ(testing::makeDeepChain(dir.path(), kDepth, "d", 1, 2), kDepth);
  for (size_t limit : {2u, 5u, 48u}) {
    SCOPED_TRACE(limit);
    DirectoryEnumerator e(dir.path(), Options::none,
                          [](const std::string& path, const std::string& error) {
                            ADD_FAILURE() << path << ": " << error;
                            return true;
                          });
    e.setMaxOpenDescriptorsForTesting(limit);
    EXPECT_EQ(e.folderDescriptor(), -1);
    std::vector<int> fileLevels;
    std::string expectedFolder = dir.path();
    int folders = 0;
    while (auto item = e.next()) {
      struct stat viaFolder {};
      struct stat viaPath {};
      ASSERT_EQ(
          ::fstatat(e.folderDescriptor(), item->name.c_str(), &viaFolder, AT_SYMLINK_NOFOLLOW), 0)
          << item->path;
      ASSERT_EQ(::lstat(item->path.c_str(), &viaPath), 0);
      EXPECT_EQ(viaFolder.st_ino, viaPath.st_ino) << item->path;
      if (item->name == "f") {
        fileLevels.push_back(e.level());
        EXPECT_EQ(item->fileSize, 2);
      } else if (item->name == "d") {
        ++folders;
        expectedFolder += "/d";
        EXPECT_EQ(item->path, expectedFolder);
        EXPECT_EQ(e.level(), folders);
      }
    }
    EXPECT_EQ(folders, kDepth);
    EXPECT_EQ(e.folderDescriptor(), -1);
    // Files come after the folders' sub-trees: deepest first.
    ASSERT_EQ(fileLevels.size(), static_cast<size_t>(kDepth));
    for (int i = 0; i < kDepth; ++i) EXPECT_EQ(fileLevels[static_cast<size_t>(i)], kDepth + 1 - i);
  }
}

// root/x/d/d/d/d/d/bottom.txt, root/x/z.txt, root/y.txt. With two descriptors,
// "x" is closed while the walk is in the chain below it (whose folders need
// no descriptor once entered). Moving the deepest folder out of the tree
// makes the ".." route lead elsewhere (the identity check refuses it), so
// "x" must be reopened down from the root.
class ReopenFromRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.writeFile("root/x/d/d/d/d/d/bottom.txt", "b");
    dir_.writeFile("root/x/z.txt", "z");
    dir_.writeFile("root/y.txt", "y");
    root_ = dir_ / "root";
  }

  // Walks, calling `atBottom` when bottom.txt is reached.
  Visits walk(const std::function<void()>& atBottom) {
    DirectoryEnumerator e(root_, Options::none, reported_.handler(true));
    e.setMaxOpenDescriptorsForTesting(2);
    Visits visits;
    while (auto item = e.next()) {
      visits.push_back(item->path.substr(root_.size() + 1));
      if (item->name == "bottom.txt") {
        std::filesystem::rename(dir_ / "root/x/d/d/d/d/d", dir_ / "moved");
        atBottom();
      }
    }
    return visits;
  }

  TempDir dir_;
  std::string root_;
  Reported reported_;
};

TEST_F(ReopenFromRootTest, WalkGoesOnWhenTheWayUpLeadsElsewhere) {
  EXPECT_EQ(walk([] {}), (Visits{"x", "x/d", "x/d/d", "x/d/d/d", "x/d/d/d/d", "x/d/d/d/d/d",
                                 "x/d/d/d/d/d/bottom.txt", "x/z.txt", "y.txt"}));
  EXPECT_TRUE(reported_.errors.empty());
}

TEST_F(ReopenFromRootTest, FolderReplacedUnderTheWalkIsNotMistakenForTheOriginal) {
  // "x" is swapped for a new folder holding a file of the same name: the
  // rest of the original "x" is lost and reported, the impostor never read.
  auto swap = [this] {
    std::filesystem::rename(dir_ / "root/x", dir_ / "old");
    dir_.writeFile("root/x/z.txt", "impostor");
  };
  EXPECT_EQ(walk(swap), (Visits{"x", "x/d", "x/d/d", "x/d/d/d", "x/d/d/d/d", "x/d/d/d/d/d",
                                "x/d/d/d/d/d/bottom.txt", "y.txt"}));
  EXPECT_EQ(reported_.errors, std::vector<std::string>{root_ + "/x: No such file or directory"});
}

TEST(TreeLogicalSizeTest, SumsTheSizesBelowTheFolderWithoutFollowingLinks) {
  TempDir dir;
  dir.writeFile("root/a.bin", std::string(1000, 'a'));
  dir.writeFile("root/sub/b.bin", std::string(250, 'b'));
  dir.writeFile("root/sub/deeper/c.bin", "c");
  dir.writeFile("outside/big.bin", std::string(100000, 'x'));
  ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / "root/sub/link").c_str()), 0);

  dir.makeDir("root/empty/emptier");
  const int64_t link = static_cast<int64_t>((dir / "outside").size());
  const int64_t expected = 1000 + 250 + 1 + link;  // folders add nothing of their own
  EXPECT_EQ(treeLogicalSize(dir / "root"), expected);
  EXPECT_EQ(treeLogicalSize(dir / "root/empty"), 0);
  EXPECT_EQ(treeLogicalSize(dir / "root/a.bin"), 0);
  EXPECT_EQ(treeLogicalSize(dir / "missing"), 0);

  EXPECT_EQ(treeLogicalSize(dir / "root", [] { return true; }), 0);
  int asked = 0;
  // Asked before each entry: the root's three are summed, then it stops.
  EXPECT_EQ(treeLogicalSize(dir / "root", [&asked] { return ++asked > 3; }), 1000);
}

TEST(DirectoryEnumeratorConcurrencyTest, WalksOnSeveralThreadsAgree) {
  TempDir dir;
  for (int i = 0; i < 20; ++i) {
    dir.writeFile("root/f" + std::to_string(i) + "/photo.jpg",
                  std::string(static_cast<size_t>(i), 'x'));
    dir.writeFile("root/f" + std::to_string(i) + "/noext", "%PDF");
  }
  const std::string root = dir / "root";
  constexpr int kThreads = 4;
  std::vector<std::string> seen(kThreads);
  std::vector<int64_t> sizes(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const auto slot = static_cast<size_t>(t);
      DirectoryEnumerator e(root, Options::none, {}, ResourceFetch::withType);
      while (auto item = e.next()) seen[slot] += item->name + "=" + item->contentType + ";";
      sizes[slot] = treeLogicalSize(root);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_NE(seen[0].find("noext=com.adobe.pdf;"), std::string::npos);
  EXPECT_EQ(sizes[0], 190 + 20 * 4);
  for (size_t t = 1; t < kThreads; ++t) {
    EXPECT_EQ(seen[t], seen[0]);
    EXPECT_EQ(sizes[t], sizes[0]);
  }
}

}  // namespace
}  // namespace orvexa
