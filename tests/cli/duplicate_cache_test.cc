// The digest cache through the program: a stale or colliding entry may
// group files that differ, but the clean compares the bytes and removes
// nothing of such a group; --no-cache reads the files again.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "orvexa/units/sqlite_tool.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

TEST(DuplicateCacheTest, ACollidingCacheEntryNeverCostsData) {
  testing::TempDir dir;
  const std::string root = dir.makeDir("root");
  const std::string folder = dir.makeDir("files");
  // Same size, same first and last blocks, different middles.
  const std::string edge(8192, 'e');
  for (const char* name : {"a.bin", "b.bin"}) {
    std::ofstream(folder + "/" + name) << edge << std::string(20000, name[0]) << edge;
  }
  auto run = [&](std::vector<std::string> extra) {
    std::vector<std::string> argv{testing::orvexaProgram(),
                                  "--root",
                                  root,
                                  "--json",
                                  "duplicates",
                                  "--min-size",
                                  "0",
                                  folder};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testing::runProgram(argv);
  };
  auto groupCount = [&](std::vector<std::string> extra) {
    testing::ProgramResult r = run(std::move(extra));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return json::parse(r.out, nullptr, false).value("groupCount", -1);
  };
  EXPECT_EQ(groupCount({}), 0);

  // Give both files one full digest, as a collision (or a stale entry) would.
  std::string db;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.path().filename() == "DuplicateDigests.sqlite") db = entry.path().string();
  }
  ASSERT_FALSE(db.empty());
  SqliteTool tool;
  ASSERT_TRUE(tool.openDB(db));
  ASSERT_TRUE(
      tool.executionSQL("UPDATE digests SET full = ?", {std::vector<uint8_t>(16, 0xAB)}).first);
  tool.closeDB(db);

  EXPECT_EQ(groupCount({}), 1);
  EXPECT_EQ(groupCount({"--no-cache"}), 0);
  EXPECT_NE(run({"--clean", "--yes"}).exitCode, 0);  // the clean refuses the group
  EXPECT_TRUE(fs::exists(folder + "/a.bin"));
  EXPECT_TRUE(fs::exists(folder + "/b.bin"));
}

}  // namespace
}  // namespace orvexa
