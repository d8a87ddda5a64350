// Standard output that cannot be written, and sizes on disk against apparent
// sizes, through the program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "support/run_program.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using nlohmann::json;
using testing::orvexaProgram;
using testing::runProgram;

// A listing that could not be shown stops a clean before anything goes; a
// report that could not be written comes after the clean.
TEST(OutputFailureTest, AFullStandardOutputEndsWithStatus74) {
  testing::TempDir dir;
  const struct {
    std::vector<std::string> args;
    bool removed;
  } cases[] = {{{"catalogue", "--json"}, false},
               {{"duplicates", "--json"}, false},
               {{"duplicates", "--clean", "--yes"}, false},
               {{"duplicates", "--clean", "--yes", "--json"}, true}};
  int n = 0;
  for (const auto& c : cases) {
    const std::string folder = dir.makeDir(std::to_string(n++));
    for (const char* name : {"/a", "/b"})
      dir.writeFile(folder.substr(dir.path().size()) + name, "x");
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full",
                                  orvexaProgram()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    if (c.args[0] == "duplicates") argv.insert(argv.end(), {"--min-size", "0", folder});
    auto r = runProgram(argv);
    EXPECT_EQ(r.exitCode, 74) << folder << r.err;
    EXPECT_NE(r.err.find("orvexa: cannot write to standard output: No space left on device"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(std::filesystem::exists(folder + "/b"), !c.removed) << folder;
  }
}

// disk-usage shows both sizes; "freed" is the blocks removing the last name
// gives back.
TEST(HonestSizesTest, SparseAndHardLinkedFilesCountTheirBlocks) {
  testing::TempDir dir;
  const std::string tree = dir.makeDir("tree");
  const int64_t hundredGB = int64_t{100} << 30;
  ASSERT_EQ(::truncate(dir.writeFile("tree/sparse", "").c_str(), hundredGB), 0);
  ASSERT_EQ(::link(dir.writeFile("tree/linked", std::string(8192, 'l')).c_str(),
                   (dir / "other name").c_str()),
            0);
  dir.writeFile("tree/plain", std::string(10000, 'p'));
  ASSERT_EQ(::link(dir.writeFile("tree/twin", std::string(5000, 't')).c_str(),
                   (dir / "tree/twin2").c_str()),
            0);  // two names in the tree: counted once
  const struct {
    const char* name;
    int64_t size;
    bool freesBlocks;
  } cases[] = {{"sparse", hundredGB, true}, {"linked", 8192, false}, {"plain", 10000, true}};
  auto listed = runProgram({orvexaProgram(), "--json", "disk-usage", tree});
  const json root = json::parse(listed.out)["feature"]["categoryInfo"].back()["childrens"][0];
  EXPECT_LT(root["allocatedSize"].get<int64_t>(), int64_t{1} << 20) << root;
  EXPECT_EQ(root["size"].get<int64_t>(), hundredGB + 8192 + 10000 + 5000);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = tree + "/" + c.name;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    size_t seen = 0;
    for (const json& record : root["childrens"]) {
      if (record["title"] != c.name) continue;
      ++seen;
      EXPECT_EQ(record["size"].get<int64_t>(), c.size);
      EXPECT_EQ(record["allocatedSize"].get<int64_t>(), st.st_blocks * 512);
    }
    EXPECT_EQ(seen, 1u);
    auto cleaned = runProgram(
        {orvexaProgram(), "--json", "disk-usage", tree, "--clean", "--yes", "--select", path});
    EXPECT_EQ(json::parse(cleaned.out)["clean"]["freed"].get<int64_t>(),
              c.freesBlocks ? st.st_blocks * 512 : 0);
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
  }
}

}  // namespace
}  // namespace orvexa
