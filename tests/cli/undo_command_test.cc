// orvexa undo and history through the program: a duplicates clean taken
// back, then nothing left to undo.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/browser_store_fixture.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Cli {
  testing::TempDir dir;
  std::string root = dir.makeDir("root");
  testing::ProgramResult run(std::vector<std::string> args) const {
    std::vector<std::string> argv{testing::orvexaProgram(), "--root", root, "--json"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::runProgram(argv);
  }
};

TEST(UndoCommandTest, DuplicatesCleanIsTakenBack) {
  Cli cli;
  const std::string folder = cli.dir.makeDir("files");
  for (const char* name : {"a.bin", "b.bin"}) std::ofstream(folder + "/" + name) << "same bytes";
  testing::ProgramResult r = cli.run({"duplicates", "--min-size", "0", folder, "--clean", "--yes"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_GT(json::parse(r.out).at("clean").at("movedToTrash").get<int64_t>(), 0) << r.out;
  EXPECT_EQ(fs::exists(folder + "/a.bin") + fs::exists(folder + "/b.bin"), 1);
  r = cli.run({"history"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(json::parse(r.out).at("cleans").at(0).at("restorable"), 1) << r.out;
  r = cli.run({"undo", "--yes"});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  EXPECT_EQ(testing::readFile(folder + "/a.bin") + testing::readFile(folder + "/b.bin"),
            "same bytessame bytes");
  r = cli.run({"undo", "--yes"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("nothing to undo"), std::string::npos) << r.err;
  EXPECT_FALSE(json::parse(r.out).at("success").get<bool>()) << r.out;
  // Cleaned again and purged: the trash holds nothing more.
  ASSERT_EQ(cli.run({"duplicates", "--min-size", "0", folder, "--clean", "--yes"}).exitCode, 0);
  r = cli.run({"history", "--purge"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(json::parse(r.out).at("cleans").at(0).at("restorable"), 0) << r.out;
  for (const auto& entry : fs::recursive_directory_iterator(cli.root)) {
    EXPECT_EQ(entry.path().string().find("/.Trash/"), std::string::npos) << entry.path();
  }
}

// The file items a privacy clean moved are reported as moved, like the
// other features' (the browser's rows are removed for good).
TEST(UndoCommandTest, PrivacyCleanSaysWhatItMoved) {
  testing::Sandbox sb(::getpwuid(::geteuid())->pw_name);  // the program's own home
  testing::makeSafariStores(sb);
  const testing::ProgramResult r = testing::runProgram(
      {testing::orvexaProgram(), "--root", sb.root(), "privacy", "--clean", "safari:*", "--yes"});
  const size_t line = r.out.find("\nmoved to the trash: ");
  EXPECT_NE(line, std::string::npos) << r.out << r.err;
  EXPECT_NE(
      r.out.find(" \u2014 `orvexa undo` puts it back, `orvexa history --purge` frees the space",
                 line),
      std::string::npos);
}

}  // namespace
}  // namespace orvexa
