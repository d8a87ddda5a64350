#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "orvexa/platform/identity.h"
#include "support/run_program.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::orvexaProgram;
using testing::runProgram;

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> sortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

class ShredCommandTest : public ::testing::Test {
 protected:
  ShredCommandTest() : sb_(accountNameOf(::geteuid())) {}  // the program runs as this account
  testing::Sandbox sb_;
};

TEST_F(ShredCommandTest, ShredsWhatItIsGivenAndReportsEachPath) {
  const std::string ten = sb_.file("~/ten.bin", "0123456789");
  const std::string folder = sb_.dir("~/Secrets");
  sb_.layout({"~/Secrets/a.txt:300", "~/Secrets/deep/b.txt:4000", "~/Secrets/empty/"});
  const std::string empty = sb_.file("~/empty.txt", "");
  const std::string linked = sb_.file("~/linked.txt", "shared");
  ::link(linked.c_str(), sb_.path("~/other-name").c_str());
  const std::string link = sb_.path("~/link");
  fs::create_symlink(ten, link);
  const std::string missing = sb_.path("~/missing.txt");

  auto r = runProgram({orvexaProgram(), "shred", "--yes", ten, folder + "/", empty, linked, link,
                       missing, folder + "/deep/b.txt"});  // with its folder, not beside it
  EXPECT_EQ(r.exitCode, 1) << "a missing path and failed files";
  const std::string hardLinkText =
      "the file has 1 other hard link: not overwritten, so that the content they share survives";
  const std::string linkText =
      "a symbolic link: shred does not follow links, so neither it nor what it points to was "
      "touched (give the path of the file itself)";
  EXPECT_EQ(r.out, "shredded  " + folder + "\nshredded  " + empty + "\nfailed    " + link +
                       ": ShredFail: " + linkText + "\nfailed    " + linked + ": ShredFail: " +
                       hardLinkText + "\nshredded  " + ten + "\nShredded 3 of 5 items.\n");
  // A line per file while it works, the missing path named.
  EXPECT_EQ(sortedLines(r.err),
            (std::vector<std::string>{
                "failed    " + link + ": " + linkText,
                "failed    " + linked + ": " + hardLinkText,
                "orvexa: 1 file with other hard links was left as it was (--hard-links "
                "overwrites them, and with them the content of their other names)",
                "orvexa: no such file or folder: " + missing,
                "shredded  " + folder + "/a.txt",
                "shredded  " + folder + "/deep/b.txt",
                "shredded  " + empty,
                "shredded  " + ten,
            }));
  EXPECT_FALSE(exists(ten) || exists(folder) || exists(empty));
  EXPECT_TRUE(exists(link));
  EXPECT_EQ(testing::readFile(linked), "shared");
}

TEST_F(ShredCommandTest, JsonAndQuiet) {
  const std::string file = sb_.file("~/Documents/report.pdf", 2048);
  const std::string old = sb_.dir("~/Old");
  sb_.file("~/Old/x", 10);
  auto r = runProgram({orvexaProgram(), "shred", "--yes", "--json", "--quiet", file, old});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  json doc = json::parse(r.out);
  EXPECT_EQ(doc["success"], true);
  EXPECT_EQ(doc["total"], 2);
  EXPECT_EQ(doc["shredded"], 2);
  EXPECT_EQ(doc["missing"], json::array());
  EXPECT_EQ(doc["results"],
            (json{{{"path", file}, {"status", 0}, {"statusName", "Success"}, {"desc", ""}},
                  {{"path", old}, {"status", 0}, {"statusName", "Success"}, {"desc", ""}}}));
  // Every file reached, those inside folders too.
  EXPECT_EQ(doc["files"],
            (json{{{"path", file}, {"status", 0}, {"statusName", "Success"}, {"desc", ""}},
                  {{"path", old + "/x"}, {"status", 0}, {"statusName", "Success"}, {"desc", ""}}}));
  EXPECT_FALSE(exists(file));
  EXPECT_FALSE(exists(old));
}

TEST_F(ShredCommandTest, RefusesWithoutATerminalOrWithNothingToShred) {
  const std::string file = sb_.file("~/keep.txt", "keep");
  const struct {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    std::string err;
  } cases[] = {
      {"no --yes and no terminal",
       {"shred", file},
       2,
       "orvexa: shred asks before destroying anything, but standard input is not a terminal: "
       "add --yes to shred without asking\n"},
      {"only missing paths",
       {"shred", "--yes", sb_.path("~/nope")},
       1,
       "orvexa: no such file or folder: " + sb_.path("~/nope") + "\n"},
      {"the root folder",
       {"shred", "--yes", "/"},
       2,
       "orvexa: refusing to shred the root folder\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv{orvexaProgram()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto r = runProgram(argv);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(testing::readFile(file), "keep");
  }
}

}  // namespace
}  // namespace orvexa
