#include "orvexa/platform/shred_passes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;

struct stat statOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

// What can go wrong between naming a file and removing it: each row sets a
// file up in `in` (`out` stands for everything outside), may tamper with it
// after the first pass, and says what the passes report ("TRUE" or "FALSE"
// and the text), their writes, whether removeFile removes the file and what
// must hold afterwards.
TEST(ShredPassesTest, Hazards) {
  using Dirs = std::function<void(TempDir & in, TempDir & out)>;
  const int64_t kSparse = 2 * ShredFileService::kBigFileSize;
  const std::string kLink = ShredFileService::kLinkText;
  const std::string kHardLink =
      "the file has 1 other hard link: not overwritten, so that the content they share survives";
  auto hardLinked = [](TempDir& in, TempDir& out) {
    fs::create_hard_link(in.writeFile("f", "shared"), out / "other");
    return in / "f";
  };
  using SetUp = std::function<std::string(TempDir & in, TempDir & out)>;
  // Rows: name, set-up, tampering after the first pass, whether hard-linked
  // files are overwritten, report, writes per pass, removed, final check.
  // clang-format off
  const std::tuple<const char*, SetUp, Dirs, bool, ShredReport, std::vector<int64_t>, bool, Dirs> cases[] = {
      {"a symbolic link given",
       [](TempDir& in, TempDir& out) { fs::create_symlink(out.writeFile("f", "out"), in / "f"); return in / "f"; },
       nullptr, false, {{"FALSE", kLink}}, {}, false,
       [](TempDir& in, TempDir& out) { EXPECT_EQ(readFile(out / "f"), "out"); EXPECT_TRUE(fs::is_symlink(in / "f")); }},
      {"a link among the folders",
       [](TempDir& in, TempDir& out) { out.writeFile("d/f", "out"); fs::create_symlink(out / "d", in / "d"); return in / "d/f"; },
       nullptr, false, {{"FALSE", kLink}}, {}, false,
       [](TempDir&, TempDir& out) { EXPECT_EQ(readFile(out / "d/f"), "out"); }},
      {"the file swapped for a link between passes",
       [](TempDir& in, TempDir& out) { out.writeFile("f", "out"); return in.writeFile("f", "in"); },
       [](TempDir& in, TempDir& out) { fs::rename(in / "f", in / "moved"); fs::create_symlink(out / "f", in / "f"); },
       false, {{"TRUE", ""}}, {1, 1, 1}, false,
       [](TempDir& in, TempDir& out) { EXPECT_EQ(readFile(out / "f"), "out"); EXPECT_EQ(readFile(in / "moved"), std::string(2, '\0')); }},
      {"a folder swapped for a link between passes",
       [](TempDir& in, TempDir& out) { out.writeFile("d/f", "out"); return in.writeFile("d/f", "in"); },
       [](TempDir& in, TempDir& out) { fs::rename(in / "d", in / "moved"); fs::create_symlink(out / "d", in / "d"); },
       false, {{"TRUE", ""}}, {1, 1, 1}, true,
       [](TempDir& in, TempDir& out) { EXPECT_EQ(readFile(out / "d/f"), "out"); EXPECT_FALSE(fs::exists(in / "moved/f")); }},
      {"a hard-linked file", hardLinked, nullptr, false, {{"FALSE", kHardLink}}, {}, false,
       [](TempDir&, TempDir& out) { EXPECT_EQ(readFile(out / "other"), "shared"); }},
      {"a hard-linked file, links allowed", hardLinked, nullptr, true, {{"TRUE", ""}}, {1, 1, 1}, true,
       [](TempDir&, TempDir& out) { EXPECT_EQ(readFile(out / "other"), std::string(6, '\0')); }},
      // The block writer's size with one 4 KiB block allocated: 16 writes a
      // pass, and the file neither grows nor gains blocks.
      {"a sparse file",
       [kSparse](TempDir& in, TempDir&) {
         const std::string f = in.writeFile("f", "");
         fs::resize_file(f, static_cast<uintmax_t>(kSparse));
         int fd = ::open(f.c_str(), O_WRONLY);
         EXPECT_EQ(::pwrite(fd, std::string(4096, 'x').data(), 4096, 1 << 20), 4096);
         ::fsync(fd);
         ::close(fd);
         return f;
       },
       [kSparse](TempDir& in, TempDir&) { EXPECT_EQ(statOf(in / "f").st_size, kSparse); EXPECT_LE(statOf(in / "f").st_blocks, 16); },
       false, {{"TRUE", ""}}, {16, 16, 16}, true, nullptr},
      {"an empty file", [](TempDir& in, TempDir&) { return in.writeFile("f", ""); }, nullptr, false, {{"TRUE", ""}}, {}, true, nullptr},
      {"a missing file", [](TempDir& in, TempDir&) { return in / "f"; }, nullptr, false, {{"FALSE", "fopen 2"}}, {}, false, nullptr},
      {"a folder", [](TempDir& in, TempDir&) { return in.makeDir("f"); }, nullptr, false, {{"FALSE", "fopen 21"}}, {}, false, nullptr},
  };
  // clang-format on
  for (const auto& [name, setUp, afterFirstPass, hardLinks, report, writes, removed, check] :
       cases) {
    SCOPED_TRACE(name);
    TempDir in, out;
    const std::string path = setUp(in, out);
    ShredFileService shredder(Url::fromPath(path, false));
    shredder.setOverwriteHardLinks(hardLinks);
    std::vector<int64_t> passes;
    shredder.setPassObserver([&, &after = afterFirstPass](int pass, int64_t count) {
      passes.push_back(count);
      if (pass == 1 && after) after(in, out);
    });
    EXPECT_EQ(shredder.shredFile(), report);
    EXPECT_EQ(passes, writes);
    std::string error;
    EXPECT_EQ(shredder.removeFile(&error), removed) << error;
    EXPECT_TRUE(!removed || afterFirstPass || !fs::exists(fs::symlink_status(path)));
    if (check) check(in, out);
  }
}

// The file as each pass leaves it, through the pass seam: ones, random bytes
// below 255, zeros.
TEST(ShredPassesTest, ShredFileRunsTheThreePassesInOrderAndVerifies) {
  TempDir dir;
  const std::string path = dir.writeFile("ten.bin", "0123456789");
  ShredFileService shredder(Url::fromPath(path, false));
  std::vector<std::string> seen;
  shredder.setPassObserver([&](int, int64_t) { seen.push_back(readFile(path)); });
  EXPECT_EQ(shredder.shredFile(), (ShredReport{{"TRUE", ""}}));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_TRUE(seen[0] == std::string(10, '\xFF') && seen[1].size() == 10u &&
              seen[1].find('\xFF') == std::string::npos && seen[2] == std::string(10, '\0'));
  // Verification finds a byte that is not zero.
  int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_EQ(::pwrite(fd, "\x01", 1, 2), 1);
  std::string error = "before;";
  ShredReport report;
  EXPECT_FALSE(shredder.verificationData(fd, 0, error, report, {{0, 4}}));
  ::close(fd);
  EXPECT_EQ(report["FALSE"], "before;Verification Data Fail!");
}

}  // namespace
}  // namespace orvexa
