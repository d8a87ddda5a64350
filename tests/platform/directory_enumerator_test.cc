#include "orvexa/platform/directory_enumerator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "orvexa/platform/file_manager.h"
#include "support/deep_tree.h"
#include "support/run_as.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::TempDir;
using Options = EnumerationOptions;
using Visit = std::function<void(DirectoryEnumerator&, std::string)>;

// Every item as "path below root@level", every error as "!path: error",
// in order, each followed by a space. `visit` may act on each item; the
// error handler answers `carryOn`; `maxOpenDescriptors` (0: the default)
// makes the walk close and reopen folders.
std::string walk(const std::string& root, Options options, bool carryOn = true,
                 const Visit& visit = {}, size_t maxOpenDescriptors = 0) {
  std::string text;
  DirectoryEnumerator e(root, options, [&](const std::string& path, const std::string& error) {
    text += "!" + path + ": " + error + " ";
    return carryOn;
  });
  if (maxOpenDescriptors) e.setMaxOpenDescriptorsForTesting(maxOpenDescriptors);
  while (auto item = e.next()) {
    const std::string relative = item->path.substr(root.size() + 1);
    text += relative + "@" + std::to_string(e.level()) + " ";
    if (visit) visit(e, relative);
  }
  EXPECT_FALSE(e.next());
  return text;
}

// Depth first, in name order, with levels; each option leaves out what it
// names, and so does the caller below a folder (below a file: nothing).
// The tree: root/
//   .dotfile  .hidden/inner.txt  My.app/Contents/Info.plist
//   a/c/d.txt  a/z.dat  b.txt  link -> a
TEST(DirectoryEnumeratorTest, VisitOrderOptionsErrorsAndTreeSizes) {
  TempDir dir;
  for (const char* file : {".dotfile", ".hidden/inner.txt", "My.app/Contents/Info.plist",
                           "a/c/d.txt", "a/z.dat", "b.txt"})
    dir.writeFile(std::string("root/") + file, "x");
  std::filesystem::create_directory_symlink("a", dir / "root/link");
  const std::string root = dir / "root";
  auto skipBelow = [](std::string name) {
    return [name](DirectoryEnumerator& e, const std::string& relative) {
      if (relative == name) e.skipDescendants();
    };
  };
  const std::tuple<Options, Visit, std::string> cases[] = {
      {Options::none, nullptr,
       ".dotfile@1 .hidden@1 .hidden/inner.txt@2 My.app@1 My.app/Contents@2 "
       "My.app/Contents/Info.plist@3 a@1 a/c@2 a/c/d.txt@3 a/z.dat@2 b.txt@1 link@1 "},
      {Options::skipsHiddenFiles, skipBelow("a/c/d.txt"),
       "My.app@1 My.app/Contents@2 My.app/Contents/Info.plist@3 a@1 a/c@2 a/c/d.txt@3 a/z.dat@2 "
       "b.txt@1 link@1 "},
      {Options::skipsPackageDescendants, nullptr,
       ".dotfile@1 .hidden@1 .hidden/inner.txt@2 My.app@1 a@1 a/c@2 a/c/d.txt@3 a/z.dat@2 "
       "b.txt@1 link@1 "},
      {Options::skipsSubdirectoryDescendants, nullptr,
       ".dotfile@1 .hidden@1 My.app@1 a@1 b.txt@1 link@1 "},
      {Options::skipsHiddenFiles | Options::skipsPackageDescendants, skipBelow("a"),
       "My.app@1 a@1 b.txt@1 link@1 "},
  };
  for (const auto& [options, visit, visits] : cases)
    EXPECT_EQ(walk(root, options, true, visit), visits);
  // A root that is a link is followed.
  EXPECT_EQ(walk(dir / "root/link", Options::none), "c@1 c/d.txt@2 z.dat@1 ");

  // Each item's values are resourceValues' (file_manager_test); a leading dot
  // marks an item hidden.
  EXPECT_TRUE(DirectoryEnumerator(root).next().value().isHidden) << ".dotfile";

  // A root that is no folder, a folder gone or unreadable when the walk comes
  // to it: reported, and the walk goes on as the handler says.
  EXPECT_EQ(walk(root + "/b.txt", Options::none), "!" + root + "/b.txt: Not a directory ");
  const std::string before = "My.app@1 My.app/Contents@2 My.app/Contents/Info.plist@3 a@1 ";
  auto vanish = [&](DirectoryEnumerator&, const std::string& relative) {
    if (relative == "a") std::filesystem::rename(dir / "root/a", dir / "gone");
  };
  for (bool carryOn : {true, false}) {
    EXPECT_EQ(walk(root, Options::skipsHiddenFiles, carryOn, vanish),
              before + "!" + root + "/a: No such file or directory " +
                  (carryOn ? "b.txt@1 link@1 " : ""));
    std::filesystem::rename(dir / "gone", dir / "root/a");
  }

  // Tree sizes: the sizes below a folder, links not followed.
  dir.writeFile("sized/a.bin", std::string(1000, 'a'));
  dir.writeFile("sized/sub/b.bin", std::string(250, 'b'));
  dir.writeFile("sized/sub/deeper/c.bin", "c");
  dir.writeFile("outside/big.bin", std::string(100000, 'x'));
  std::filesystem::create_directory_symlink(dir / "outside", dir / "sized/sub/link");
  dir.makeDir("sized/empty/emptier");
  const int64_t link = static_cast<int64_t>((dir / "outside").size());
  // Folders add nothing of their own; no folder, nothing.
  EXPECT_EQ(treeLogicalSize(dir / "sized"), 1000 + 250 + 1 + link);
  for (const char* none : {"sized/empty", "sized/a.bin", "missing"})
    EXPECT_EQ(treeLogicalSize(dir / none), 0) << none;
  EXPECT_EQ(treeLogicalSize(dir / "sized", [] { return true; }), 0);
  int asked = 0;
  // Asked before each entry: the folder's three are summed, then it stops.
  EXPECT_EQ(treeLogicalSize(dir / "sized", [&asked] { return ++asked > 3; }), 1000);

  // Root reads any folder: this walk runs as an unprivileged user.
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to run as another user";
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((dir / "root/a").c_str(), 0), 0);
  EXPECT_EQ(testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid,
                               [&] { return walk(root, Options::skipsHiddenFiles); }),
            before + "!" + root + "/a: Permission denied b.txt@1 link@1 ");
  ::chmod((dir / "root/a").c_str(), 0755);
}

auto openDescriptorCount() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

TEST(DirectoryEnumeratorDeepTest, WalksTenThousandLevelsAndReopensClosedFoldersNeverAnImpostor) {
  testing::ScratchDir dir;
  constexpr int kLevels = 10000;
  ASSERT_EQ(testing::makeDeepChain(dir.path(), kLevels, "d", 0, 5), 1);
  const auto before = openDescriptorCount();
  DirectoryEnumerator deep(dir.path());
  int count = 0;
  while (auto item = deep.next()) {
    ++count;
    if (item->name != "f") continue;
    EXPECT_EQ(deep.level(), kLevels + 1);
    EXPECT_EQ(item->path.size(), dir.path().size() + 2 * kLevels + 2);
    EXPECT_EQ(item->fileSize, 5);
    EXPECT_LE(openDescriptorCount(), before + 50);
  }
  EXPECT_EQ(count, kLevels + 1);
  EXPECT_EQ(treeLogicalSize(dir.path()), 5);
  // Removal copes with the depth too (and leaves the temporary folder empty).
  ASSERT_TRUE(removeItem(dir.path() + "/d").ok());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  // Every folder holds a folder "d" and, after it, a file "f": each folder is
  // needed again after its sub-tree, long after its descriptor was closed. The
  // folder descriptor must still name the folder of the item just returned
  // (none before and after the walk).
  constexpr int kDepth = 300;
  ASSERT_EQ(testing::makeDeepChain(dir.path(), kDepth, "d", 1, 2), kDepth);
  // The folders down to the deepest, then the files deepest first.
  std::string expected;
  for (int level = 1; level <= kDepth; ++level) expected += "d@" + std::to_string(level) + " ";
  for (int level = kDepth + 1; level > 1; --level) expected += "f@" + std::to_string(level) + " ";
  for (size_t limit : {2u, 5u, 48u}) {
    DirectoryEnumerator e(dir.path(), Options::none, [](const std::string& path, auto& error) {
      ADD_FAILURE() << path << ": " << error;
      return true;
    });
    e.setMaxOpenDescriptorsForTesting(limit);
    std::string seen = e.folderDescriptor() == -1 ? "" : "open before ";
    while (auto item = e.next()) {
      struct stat viaFolder {};
      struct stat viaPath {};
      const bool same = ::fstatat(e.folderDescriptor(), item->name.c_str(), &viaFolder,
                                  AT_SYMLINK_NOFOLLOW) == 0 &&
                        ::lstat(item->path.c_str(), &viaPath) == 0 &&
                        viaFolder.st_ino == viaPath.st_ino;
      seen += item->name + "@" + std::to_string(e.level()) + (same ? " " : " (another folder) ");
    }
    EXPECT_EQ(seen + (e.folderDescriptor() == -1 ? "" : "open after"), expected) << limit;
  }

  // root/x/d/d/d/d/d/bottom.txt, root/x/z.txt, root/y.txt. With two descriptors,
  // "x" is closed while the walk is in the chain below it (whose folders need
  // no descriptor once entered). Moving the deepest folder out of the tree
  // makes the ".." route lead elsewhere (the identity check refuses it), so
  // "x" must be reopened down from the root. If "x" was also swapped for a new
  // folder holding a file of the same name, the rest of the original is lost
  // and reported, the impostor never read.
  for (bool swap : {false, true}) {
    TempDir tree;
    for (const char* file : {"root/x/d/d/d/d/d/bottom.txt", "root/x/z.txt", "root/y.txt"})
      tree.writeFile(file, "x");
    const std::string root = tree / "root";
    auto atBottom = [&](DirectoryEnumerator&, const std::string& relative) {
      if (relative != "x/d/d/d/d/d/bottom.txt") return;
      std::filesystem::rename(tree / "root/x/d/d/d/d/d", tree / "moved");
      if (!swap) return;
      std::filesystem::rename(tree / "root/x", tree / "old");
      tree.writeFile("root/x/z.txt", "impostor");
    };
    EXPECT_EQ(walk(root, Options::none, true, atBottom, 2),
              "x@1 x/d@2 x/d/d@3 x/d/d/d@4 x/d/d/d/d@5 x/d/d/d/d/d@6 x/d/d/d/d/d/bottom.txt@7 " +
                  (swap ? "!" + root + "/x: No such file or directory " : "x/z.txt@2 ") +
                  "y.txt@1 ");
  }
}

TEST(DirectoryEnumeratorConcurrencyTest, WalksOnSeveralThreadsAgree) {
  TempDir dir;
  for (size_t i = 0; i < 20; ++i) {
    dir.writeFile("root/f" + std::to_string(i) + "/photo.jpg", std::string(i, 'x'));
    dir.writeFile("root/f" + std::to_string(i) + "/noext", "%PDF");
  }
  const std::string root = dir / "root";
  std::vector<std::string> seen(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      DirectoryEnumerator e(root, Options::none, {}, ResourceFetch::withType);
      while (auto item = e.next()) seen[t] += item->name + "=" + item->contentType + ";";
      seen[t] += std::to_string(treeLogicalSize(root));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_NE(seen[0].find("noext=com.adobe.pdf;"), std::string::npos);
  EXPECT_EQ(seen[0].substr(seen[0].size() - 3), std::to_string(190 + 20 * 4));
  EXPECT_EQ(seen, std::vector<std::string>(4, seen[0]));
}

}  // namespace
}  // namespace orvexa
