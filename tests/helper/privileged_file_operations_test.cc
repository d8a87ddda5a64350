#include "orvexa/helper/privileged_file_operations.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

TEST(PrivilegedFileOperationsTest, RemovesFilesFoldersAndLinksWithoutFollowingLinks) {
  TempDir inside;
  TempDir outside;
  const std::string target = outside.writeFile("keep/target.txt", "outside");
  inside.writeFile("tree/a/b/c.txt", "c");
  inside.writeFile("tree/d.txt", "d");
  fs::create_symlink(outside / "keep", inside / "tree/a/link-to-folder");
  fs::create_symlink(target, inside / "file-link");
  inside.writeFile("plain.txt", "x");

  const struct {
    const char* name;
    std::string path;
  } cases[] = {
      {"file", inside / "plain.txt"},
      {"link to a file", inside / "file-link"},
      {"folder holding a link to a folder", inside / "tree"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FileStatus status = removeItemWithoutFollowing(c.path);
    EXPECT_TRUE(status.ok()) << status.message();
    EXPECT_FALSE(exists(c.path));
  }
  EXPECT_EQ(readFile(target), "outside");
  EXPECT_TRUE(exists(outside / "keep"));

  FileStatus missing = removeItemWithoutFollowing(inside / "nothing");
  EXPECT_EQ(missing.code(), ENOENT);
  EXPECT_EQ(missing.message(), inside / "nothing" + ": No such file or directory");
}

TEST(PrivilegedFileOperationsTest, ALinkOnTheWayIsNotFollowed) {
  TempDir inside;
  TempDir outside;
  outside.writeFile("victim/file.txt", "outside");
  fs::create_symlink(outside.path(), inside / "via");
  const std::string path = inside / "via/victim/file.txt";
  FileStatus status = removeItemWithoutFollowing(path);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(
      status.message(),
      inside / "via" + ": is a symbolic link or not a folder; the helper does not follow links");
  EXPECT_EQ(readFile(outside / "victim/file.txt"), "outside");
}

// A component of the path is swapped for a link to a folder outside between
// two steps of the walk: whatever happens, nothing outside is touched.
TEST(PrivilegedFileOperationsTest, SwappingAComponentMidWalkRemovesNothingOutside) {
  const struct {
    const char* name;
    const char* swapped;     // the component replaced by a link, relative to the temp folder
    const char* swapBefore;  // the walk step (path relative to the temp folder) before which
    bool removed;            // whether the (moved) original is removed
  } cases[] = {
      {"folder swapped before it is opened", "a/b", "a/b", false},
      {"folder swapped after it was opened", "a", "a/b", true},
      {"the item itself swapped for a link", "a/b/victim", "a/b/victim", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir inside;
    TempDir outside;
    inside.writeFile("a/b/victim/data.txt", "inside");
    outside.writeFile("a/b/victim/data.txt", "outside");
    outside.writeFile("data.txt", "outside");
    const std::string swapped = inside / c.swapped;
    const std::string trigger = inside / c.swapBefore;
    bool swappedOnce = false;
    HelperWalkHook hook = [&](const std::string& path, size_t) {
      if (path != trigger || swappedOnce) return;
      swappedOnce = true;
      fs::rename(swapped, swapped + ".moved");
      fs::create_symlink(outside / c.swapped, swapped);
    };
    FileStatus status = removeItemWithoutFollowing(inside / "a/b/victim", hook);
    ASSERT_TRUE(swappedOnce);
    EXPECT_EQ(readFile(outside / "a/b/victim/data.txt"), "outside");
    EXPECT_EQ(readFile(outside / "data.txt"), "outside");
    if (c.removed) {
      EXPECT_TRUE(status.ok()) << status.message();
      EXPECT_FALSE(exists(inside / "a.moved/b/victim"));
    } else if (std::string(c.swapped) == "a/b/victim") {
      // The link standing in for the item is what goes.
      EXPECT_TRUE(status.ok()) << status.message();
      EXPECT_FALSE(exists(swapped));
      EXPECT_EQ(readFile(swapped + ".moved/data.txt"), "inside");
    } else {
      EXPECT_FALSE(status.ok());
      EXPECT_EQ(readFile(swapped + ".moved/victim/data.txt"), "inside");
    }
  }
}

bool allZero(const std::string& content) {
  return content.find_first_not_of('\0') == std::string::npos;
}

TEST(PrivilegedFileOperationsTest, ShreddingOverwritesThroughTheItemAndRemovesIt) {
  TempDir inside;
  TempDir outside;
  // Hard links show what was written into the shredded files.
  const std::string file = inside.writeFile("secret.txt", "top secret!");
  const std::string fileWitness = outside / "secret-witness";
  fs::create_hard_link(file, fileWitness);
  inside.writeFile("folder/one.txt", std::string(300, 'a'));
  inside.writeFile("folder/sub/two.txt", std::string(5000, 'b'));
  fs::create_hard_link(inside / "folder/sub/two.txt", outside / "two-witness");
  const std::string outsideFile = outside.writeFile("linked.txt", "do not touch");
  fs::create_symlink(outsideFile, inside / "folder/link");

  bool shredFailed = true;
  FileStatus status = shredItemWithoutFollowing(file, &shredFailed, {}, true);
  EXPECT_TRUE(status.ok()) << status.message();
  EXPECT_FALSE(shredFailed);
  EXPECT_FALSE(exists(file));
  std::string witness = readFile(fileWitness);
  EXPECT_EQ(witness.size(), 11u);
  EXPECT_TRUE(allZero(witness));

  status = shredItemWithoutFollowing(inside / "folder", &shredFailed, {}, true);
  EXPECT_TRUE(status.ok()) << status.message();
  EXPECT_FALSE(exists(inside / "folder"));
  witness = readFile(outside / "two-witness");
  EXPECT_EQ(witness.size(), 5000u);
  EXPECT_TRUE(allZero(witness));
  EXPECT_EQ(readFile(outsideFile), "do not touch");

  // Without leave, a hard-linked file stays as it was.
  const std::string linked = inside.writeFile("linked", "shared");
  fs::create_hard_link(linked, outside / "linked-witness");
  status = shredItemWithoutFollowing(linked, &shredFailed);
  EXPECT_TRUE(shredFailed);
  EXPECT_NE(status.message().find("1 other hard link"), std::string::npos) << status.message();
  EXPECT_EQ(readFile(linked), "shared");
}

TEST(PrivilegedFileOperationsTest, MovesWithinAFileSystemAndNeverReplaces) {
  TempDir dir;
  dir.writeFile("Spotlight/a.mdimporter/Info.plist", "a");
  dir.makeDir("Spotlight (Disabled)");
  FileStatus moved = moveItemWithoutFollowing(dir / "Spotlight/a.mdimporter",
                                              dir / "Spotlight (Disabled)/a.mdimporter");
  EXPECT_TRUE(moved.ok()) << moved.message();
  EXPECT_EQ(readFile(dir / "Spotlight (Disabled)/a.mdimporter/Info.plist"), "a");

  dir.writeFile("Spotlight/b.mdimporter", "b");
  FileStatus taken = moveItemWithoutFollowing(dir / "Spotlight/b.mdimporter",
                                              dir / "Spotlight (Disabled)/a.mdimporter");
  EXPECT_EQ(taken.code(), EEXIST);
  EXPECT_EQ(readFile(dir / "Spotlight/b.mdimporter"), "b");
}

}  // namespace
}  // namespace orvexa
