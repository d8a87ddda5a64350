// Standard output that cannot be written, sizes on disk against apparent
// sizes, and duplicates deeper than PATH_MAX, through the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/folder_chain.h"
#include "support/deep_tree.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::orvexaProgram;
using testing::runProgram;
using testing::TempDir;

// A listing that could not be shown stops a clean before anything goes; a
// report that could not be written comes after the clean.
TEST(OutputFailureTest, AFullStandardOutputEndsWithStatus74) {
  TempDir dir;
  const struct {
    std::vector<std::string> args;
    bool removed;
  } cases[] = {
      {{"catalogue", "--json"}, false},
      {{"duplicates", "--json"}, false},
      {{"duplicates", "--clean", "--yes"}, false},
      {{"duplicates", "--clean", "--yes", "--json"}, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string folder = dir.makeDir("case" + std::to_string(n++));
    SCOPED_TRACE(folder);
    dir.writeFile(fs::relative(folder, dir.path()).string() + "/a", std::string(2000, 'x'));
    dir.writeFile(fs::relative(folder, dir.path()).string() + "/b", std::string(2000, 'x'));
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", orvexaProgram(),
                                  "--quiet"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    if (c.args.front() == "duplicates") argv.insert(argv.end(), {"--min-size", "0", folder});
    auto r = runProgram(argv);
    EXPECT_EQ(r.exitCode, 74) << r.err;
    EXPECT_NE(r.err.find("orvexa: cannot write to standard output: No space left on device"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(fs::exists(folder + "/b"), !c.removed);
  }
}

int64_t onDisk(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_blocks) * 512 : -1;
}

// disk-usage shows both sizes; the clean's "freed" is the blocks removing
// the last name gives back.
TEST(HonestSizesTest, SparseAndHardLinkedFilesCountTheirBlocks) {
  TempDir dir;
  const std::string tree = dir.makeDir("tree");
  const int64_t hundredGB = int64_t{100} << 30;
  dir.writeFile("tree/sparse", "");
  ASSERT_EQ(::truncate((tree + "/sparse").c_str(), hundredGB), 0);
  dir.writeFile("tree/linked", std::string(8192, 'l'));
  ASSERT_EQ(::link((tree + "/linked").c_str(), (dir / "other name").c_str()), 0);
  dir.writeFile("tree/plain", std::string(10000, 'p'));
  const struct {
    const char* name;
    int64_t size;
    bool freesBlocks;
  } cases[] = {{"sparse", hundredGB, true}, {"linked", 8192, false}, {"plain", 10000, true}};

  auto listed = runProgram({orvexaProgram(), "--quiet", "--json", "disk-usage", tree});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  const json root = json::parse(listed.out)["feature"]["categoryInfo"].back()["childrens"][0];
  EXPECT_LT(root["allocatedSize"].get<int64_t>(), int64_t{1} << 20) << root;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = tree + "/" + c.name;
    const int64_t blocks = onDisk(path);
    bool seen = false;
    for (const json& record : root["childrens"]) {
      if (record["title"] != c.name) continue;
      seen = true;
      EXPECT_EQ(record["size"].get<int64_t>(), c.size);
      EXPECT_EQ(record["allocatedSize"].get<int64_t>(), blocks);
    }
    EXPECT_TRUE(seen) << listed.out;
    auto cleaned = runProgram({orvexaProgram(), "--quiet", "--json", "disk-usage", tree, "--clean",
                               "--yes", "--select", path});
    ASSERT_EQ(cleaned.exitCode, 0) << cleaned.err;
    EXPECT_EQ(json::parse(cleaned.out)["clean"]["freed"].get<int64_t>(),
              c.freesBlocks ? blocks : 0);
    EXPECT_FALSE(fs::exists(path));
  }
}

// Two identical files in a folder deeper than PATH_MAX are found.
TEST(DeepDuplicatesTest, AnIdenticalPairBelowPathMaxIsFound) {
  testing::ScratchDir scratch;
  const std::string name(200, 'd');
  const int depth = PATH_MAX / 200 + 2;
  ASSERT_EQ(testing::makeDeepChain(scratch.path(), depth, name, 0, 100), 1);
  std::string deepest = scratch.path();
  for (int i = 0; i < depth; ++i) deepest += "/" + name;
  detail::UniqueFd folder = detail::openLongPath(deepest, O_RDONLY | O_DIRECTORY);
  ASSERT_TRUE(folder);
  const int copy = ::openat(folder.get(), "g", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(copy, 0);
  ASSERT_EQ(::write(copy, std::string(100, 'x').data(), 100), 100);
  ::close(copy);

  auto r = runProgram(
      {orvexaProgram(), "--quiet", "--json", "duplicates", "--min-size", "0", scratch.path()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(json::parse(r.out)["groupCount"], 1) << r.out.substr(0, 2000);
  EXPECT_NE(r.out.find(deepest + "/f\""), std::string::npos);
  EXPECT_NE(r.out.find(deepest + "/g\""), std::string::npos);
}

}  // namespace
}  // namespace orvexa
