// The walk's hazards: trees deeper than a path may be long, and folders
// swapped for links while the walk is under way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "scan/duplicate/duplicate_test_util.h"
#include "support/deep_tree.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using testing::PathGroups;

// One chain deeper than PATH_MAX with a copy of one file at every level: the
// walk reaches the bottom, and the copies there are read and grouped. (Every
// level has its own folder size, so no folder is compared.)
TEST(DuplicateWalkTest, CopiesBelowPathMaxAreFound) {
  testing::ScratchDir scratch;
  constexpr int kDepth = 2100;  // "/d" a level
  ASSERT_EQ(testing::makeDeepChain(scratch.path(), kDepth, "d", 1, 2000), kDepth);
  std::string deepest = scratch.path();
  for (int i = 0; i < kDepth; ++i) deepest += "/d";
  deepest += "/f";
  ASSERT_GT(deepest.size(), static_cast<size_t>(PATH_MAX));
  testing::LimitSizeGuard limit(1);
  const PathGroups groups = testing::runScan({scratch.path()}).files();
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(std::pair(groups.begin()->size(), groups.begin()->count(deepest)),
            std::pair(size_t{kDepth}, size_t{1}));
}

// Folders listed as folders and then replaced by links to copies outside
// the scanned folder, one still to be opened ("b") and one whose sub-folder
// is still to be opened ("c"): the walk never reaches what the links name.
TEST(DuplicateWalkTest, FoldersSwappedForLinksAreNotFollowed) {
  testing::Sandbox sb;
  const std::string copy = testing::randomBytes(5000, 90);
  const std::string outside = sb.dir("~/Outside");
  for (const char* x : {"~/Outside/x1", "~/Outside/x2", "~/Outside/lower/x1", "~/Outside/lower/x2"})
    sb.file(x, copy);
  sb.file("~/Documents/Scan/a.bin", testing::randomBytes(3000, 91));
  sb.file("~/Documents/Scan/b/y", testing::randomBytes(4000, 92));
  sb.file("~/Documents/Scan/c/c.bin", testing::randomBytes(3500, 93));
  sb.file("~/Documents/Scan/c/lower/z", testing::randomBytes(4500, 94));
  auto swap = [&](const std::string& folder) {
    const std::string path = sb.path("~/Documents/Scan/" + folder);
    std::filesystem::rename(path, path + ".moved");
    std::filesystem::create_directory_symlink(outside, path);
  };
  testing::LimitSizeGuard limit(1);

  // Each swap comes once the walk has listed the folder holding it (its
  // files are reported before its sub-folders are opened).
  testing::ScanOutcome scan =
      testing::runScan({sb.path("~/Documents/Scan")}, [&](const std::string& path, int64_t) {
        if (path == sb.path("~/Documents/Scan/a.bin")) swap("b");
        if (path == sb.path("~/Documents/Scan/c/c.bin")) swap("c");
      });
  ASSERT_TRUE(std::filesystem::is_symlink(sb.path("~/Documents/Scan/c")));
  EXPECT_EQ(scan.groups(), PathGroups{});
}

}  // namespace
}  // namespace orvexa
