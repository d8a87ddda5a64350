// Which devices rotate, as the block layer tells: a whole disk answers for
// itself, a partition through its disk, an unknown device not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "scan/duplicate/read_plan.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;

TEST(ReadPlanTest, RotationIsReadFromTheWholeDisk) {
  testing::TempDir sys;
  const fs::path disk = fs::path(sys.path()) / "devices/virtual/block/sda";
  fs::create_directories(disk / "queue");
  fs::create_directories(disk / "sda1");
  fs::create_directories(fs::path(sys.path()) / "dev/block");
  std::ofstream(disk / "queue/rotational") << "1\n";
  fs::create_symlink(disk, fs::path(sys.path()) / "dev/block/8:0");
  fs::create_symlink(disk / "sda1", fs::path(sys.path()) / "dev/block/8:1");
  EXPECT_EQ(duplicate_internal::rotationalFromSysfs(sys.path(), 8, 0), 1);
  EXPECT_EQ(duplicate_internal::rotationalFromSysfs(sys.path(), 8, 1), 1);
  EXPECT_EQ(duplicate_internal::rotationalFromSysfs(sys.path(), 0, 42), -1);
}

}  // namespace
}  // namespace orvexa
