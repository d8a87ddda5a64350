#include "orvexa/helper/privileged_file_operations.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/shared_checks.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;

constexpr auto& exists = testing::existsNoFollow;

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
  EXPECT_EQ(readFile(fileWitness), std::string(11, '\0'));

  status = shredItemWithoutFollowing(inside / "folder", &shredFailed, {}, true);
  EXPECT_TRUE(status.ok()) << status.message();
  EXPECT_FALSE(exists(inside / "folder"));
  EXPECT_EQ(readFile(outside / "two-witness"), std::string(5000, '\0'));
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
