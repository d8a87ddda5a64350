#include "orvexa/toolkits/shred_passes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "support/run_as.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;

bool allZero(const std::string& bytes) {
  return bytes.find_first_not_of('\0') == std::string::npos;
}

struct stat statOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

// What can go wrong between naming a file and removing it: each row sets a
// file up in `in` (with `out` standing for everything outside), may tamper
// with it after the first pass, and says what the passes report, whether
// removeFile removes it and what must hold afterwards.
TEST(ShredPassesTest, Hazards) {
  const int64_t kSparseSize = 2 * ShredFileService::kBigFileSize;
  const struct {
    const char* name;
    std::function<std::string(TempDir& in, TempDir& out)> setUp;
    std::function<void(TempDir& in, TempDir& out)> afterFirstPass;
    bool hardLinks;
    const char* key;
    std::string text;
    bool removed;
    std::vector<int64_t> writes;
    std::function<void(TempDir& in, TempDir& out)> check;
  } cases[] = {
      {"a symbolic link given",
       [](TempDir& in, TempDir& out) {
         fs::create_symlink(out.writeFile("target", "outside"), in / "link");
         return in / "link";
       },
       nullptr,
       false,
       "FALSE",
       ShredFileService::kLinkText,
       false,
       {},
       [](TempDir& in, TempDir& out) {
         EXPECT_EQ(readFile(out / "target"), "outside");
         EXPECT_TRUE(fs::is_symlink(in / "link"));
       }},
      {"a link among the folders",
       [](TempDir& in, TempDir& out) {
         out.writeFile("dir/f", "outside");
         fs::create_symlink(out / "dir", in / "dir");
         return in / "dir/f";
       },
       nullptr,
       false,
       "FALSE",
       ShredFileService::kLinkText,
       false,
       {},
       [](TempDir&, TempDir& out) { EXPECT_EQ(readFile(out / "dir/f"), "outside"); }},
      {"the file swapped for a link between passes",
       [](TempDir& in, TempDir& out) {
         out.writeFile("f", "outside!!");
         return in.writeFile("f", "secret!!!");
       },
       [](TempDir& in, TempDir& out) {
         fs::rename(in / "f", in / "moved");
         fs::create_symlink(out / "f", in / "f");
       },
       false,
       "TRUE",
       "",
       false,
       {1, 1, 1},
       [](TempDir& in, TempDir& out) {
         EXPECT_EQ(readFile(out / "f"), "outside!!");
         EXPECT_TRUE(fs::is_symlink(in / "f"));
         EXPECT_EQ(readFile(in / "moved"), std::string(9, '\0'));
       }},
      {"a folder swapped for a link between passes",
       [](TempDir& in, TempDir& out) {
         out.writeFile("sub/f", "outside!!");
         return in.writeFile("sub/f", "secret!!!");
       },
       [](TempDir& in, TempDir& out) {
         fs::rename(in / "sub", in / "moved");
         fs::create_symlink(out / "sub", in / "sub");
       },
       false,
       "TRUE",
       "",
       true,
       {1, 1, 1},
       [](TempDir& in, TempDir& out) {
         EXPECT_EQ(readFile(out / "sub/f"), "outside!!");
         EXPECT_FALSE(fs::exists(in / "moved/f")) << "removed where it was found";
       }},
      {"a hard-linked file",
       [](TempDir& in, TempDir& out) {
         const std::string f = in.writeFile("f", "shared");
         fs::create_hard_link(f, out / "other");
         return f;
       },
       nullptr,
       false,
       "FALSE",
       "the file has 1 other hard link: not overwritten, so that the content they share "
       "survives",
       false,
       {},
       [](TempDir&, TempDir& out) { EXPECT_EQ(readFile(out / "other"), "shared"); }},
      {"a hard-linked file, links allowed",
       [](TempDir& in, TempDir& out) {
         const std::string f = in.writeFile("f", "shared");
         fs::create_hard_link(f, out / "other");
         return f;
       },
       nullptr,
       true,
       "TRUE",
       "",
       true,
       {1, 1, 1},
       [](TempDir&, TempDir& out) { EXPECT_EQ(readFile(out / "other"), std::string(6, '\0')); }},
      // Twice the block writer's threshold, one 4 KiB block allocated: the
      // block writer writes 16 blocks a pass, and the file neither grows nor
      // gains blocks.
      {"a sparse file",
       [kSparseSize](TempDir& in, TempDir&) {
         const std::string f = in.writeFile("sparse", "");
         fs::resize_file(f, static_cast<uintmax_t>(kSparseSize));
         int fd = ::open(f.c_str(), O_WRONLY);
         EXPECT_EQ(::pwrite(fd, std::string(4096, 'x').data(), 4096, 1 << 20), 4096);
         ::fsync(fd);
         ::close(fd);
         return f;
       },
       [kSparseSize](TempDir& in, TempDir&) {
         const struct stat st = statOf(in / "sparse");
         EXPECT_EQ(st.st_size, kSparseSize);
         EXPECT_LE(st.st_blocks, 8 * 2) << "a 4 KiB block, not the holes";
       },
       false,
       "TRUE",
       "",
       true,
       {16, 16, 16},
       nullptr},
      {"an empty file",
       [](TempDir& in, TempDir&) { return in.writeFile("empty", ""); },
       nullptr,
       false,
       "TRUE",
       "",
       true,
       {},
       nullptr},
      {"a missing file",
       [](TempDir& in, TempDir&) { return in / "missing"; },
       nullptr,
       false,
       "FALSE",
       "fopen 2",
       false,
       {},
       nullptr},
      {"a folder",
       [](TempDir& in, TempDir&) { return in.makeDir("folder"); },
       nullptr,
       false,
       "FALSE",
       "fopen 21",
       false,
       {},
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir in;
    TempDir out;
    const std::string path = c.setUp(in, out);
    ShredFileService shredder(Url::fromPath(path, false));
    shredder.setOverwriteHardLinks(c.hardLinks);
    std::vector<int64_t> writes;
    shredder.setPassObserver([&](int pass, int64_t count) {
      writes.push_back(count);
      if (pass == 1 && c.afterFirstPass) c.afterFirstPass(in, out);
    });
    EXPECT_EQ(shredder.shredFile(), (ShredReport{{c.key, c.text}}));
    EXPECT_EQ(writes, c.writes);
    std::string error;
    EXPECT_EQ(shredder.removeFile(&error), c.removed) << error;
    if (c.removed && !c.afterFirstPass) {
      EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
    }
    if (c.check) c.check(in, out);
  }
}

// The file as each pass leaves it, through the pass seam.
TEST(ShredPassesTest, ShredFileRunsTheThreePassesInOrderAndVerifies) {
  TempDir dir;
  const std::string path = dir.writeFile("ten.bin", "0123456789");
  ShredFileService shredder(Url::fromPath(path, false));
  std::vector<std::string> seen;
  shredder.setPassObserver([&](int, int64_t) { seen.push_back(readFile(path)); });
  EXPECT_EQ(shredder.shredFile(), (ShredReport{{"TRUE", ""}}));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::string(10, '\xFF'));
  ASSERT_EQ(seen[1].size(), 10u);
  for (char c : seen[1]) EXPECT_LE(static_cast<unsigned char>(c), 254);
  EXPECT_NE(seen[1], std::string(10, '\xFF'));
  EXPECT_EQ(seen[2], std::string(10, '\0'));
  EXPECT_TRUE(allZero(readFile(path)));
}

// A file the user may not write: nothing runs.
TEST(ShredPassesTest, AFileThatCannotBeOpenedIsLeftAsItWas) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to run as another user";
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const std::string path = dir.writeFile("theirs.bin", "secret");
  ::chmod(path.c_str(), 0644);
  std::optional<std::string> result =
      testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, [&] {
        ShredReport report = ShredFileService(Url::fromPath(path, false)).shredFile();
        return report.begin()->first + "|" + report.begin()->second;
      });
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, "FALSE|fopen 13");
  EXPECT_EQ(readFile(path), "secret");
}

TEST(ShredPassesTest, VerificationFindsAByteThatIsNotZero) {
  TempDir dir;
  const std::string path = dir.writeFile("f", std::string("\0\0\x01\0", 4));
  ShredFileService shredder(Url::fromPath(path, false));
  int fd = ::open(path.c_str(), O_RDONLY);
  std::string error = "before;";
  ShredReport report;
  EXPECT_FALSE(shredder.verificationData(fd, 0, error, report, {{0, 4}}));
  ::close(fd);
  EXPECT_EQ(report["FALSE"], "before;Verification Data Fail!");
}

}  // namespace
}  // namespace orvexa
