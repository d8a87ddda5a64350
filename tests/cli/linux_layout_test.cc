// The Linux layout on a sandboxed desktop home: what junk and trash list,
// what a clean removes, and what a peer cleaner would delete.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "support/run_program.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class LinuxLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Paths::shared().setLayout(Layout::Linux);
    sb_ = std::make_unique<testing::Sandbox>(accountNameOf(geteuid()));
    sb_->layout({"~/.cache/app1/a:1000",
                 "~/.cache/app1/sub/b:24",
                 "~/.cache/loose:70",
                 "~/.cache/thumbnails/normal/t.png:300",
                 "~/.cache/thumbnails/large/u.png:5",
                 "~/.cache/pip/http/x:500",
                 "~/.cache/go-build/ab/c:50",
                 "~/.npm/_cacache/i:9",
                 "~/.local/share/Trash/files/f.txt:77",
                 "~/.local/share/Trash/files/dir/in:3",
                 "~/.local/share/Trash/info/f.txt.trashinfo:40",
                 "~/.local/share/Trash/info/dir.trashinfo:41",
                 "/var/cache/apt/archives/p_1_amd64.deb:900",
                 "/var/cache/apt/archives/lock",
                 "/var/cache/apt/archives/partial/q.deb:40",
                 "/var/log/syslog:11",
                 "/var/log/syslog.1:12",
                 "/var/log/syslog.2.gz:13",
                 "/var/log/apt/history.log:1",
                 "/var/log/apt/history.log.1.gz:14",
                 "/var/crash/x.crash:15",
                 "/media/USB/.Trash-" + std::to_string(geteuid()) + "/files/u:16",
                 "/mnt/disk/.Trash/" + std::to_string(geteuid()) + "/files/m:17"});
  }
  void TearDown() override {
    sb_.reset();
    Paths::shared().setLayout(Layout::macOS);
  }

  testing::ProgramResult run(const std::string& command, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {testing::orvexaProgram(),
                                     "--layout",
                                     "linux",
                                     command,
                                     "--root",
                                     sb_->root(),
                                     "--quiet",
                                     "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testing::runProgram(argv);
  }

  // Record path (sandbox-relative) -> size, of every category.
  std::map<std::string, int64_t> listed(const std::string& command) {
    auto r = run(command);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::map<std::string, int64_t> out;
    const json doc = json::parse(r.out);
    for (const json& category : doc["feature"]["categoryInfo"]) {
      for (const json& file : category["childrens"]) {
        std::string path = file["url"].get<std::string>().substr(7);
        if (path.back() == '/') path.pop_back();
        out[path.substr(sb_->root().size())] = file["size"];
      }
    }
    return out;
  }

  std::unique_ptr<testing::Sandbox> sb_;
};

TEST_F(LinuxLayoutTest, JunkAndTrashListTheirItemsWithFileSizes) {
  const std::string home = sb_->home().substr(sb_->root().size());
  const std::string uid = std::to_string(geteuid());
  const std::map<std::string, int64_t> junk = {{home + "/.cache/app1", 1024},
                                               {home + "/.cache/loose", 70},
                                               {home + "/.cache/thumbnails/normal", 300},
                                               {home + "/.cache/thumbnails/large", 5},
                                               {home + "/.cache/pip/http", 500},
                                               {home + "/.cache/go-build/ab", 50},
                                               {home + "/.npm/_cacache/i", 9},
                                               {"/var/cache/apt/archives/p_1_amd64.deb", 900},
                                               {"/var/cache/apt/archives/partial/q.deb", 40},
                                               {"/var/log/syslog.1", 12},
                                               {"/var/log/syslog.2.gz", 13},
                                               {"/var/log/apt/history.log.1.gz", 14},
                                               {"/var/crash/x.crash", 15}};
  EXPECT_EQ(listed("junk"), junk);
  const std::map<std::string, int64_t> trash = {{home + "/.local/share/Trash/files/f.txt", 77},
                                                {home + "/.local/share/Trash/files/dir", 3},
                                                {"/media/USB/.Trash-" + uid + "/files/u", 16},
                                                {"/mnt/disk/.Trash/" + uid + "/files/m", 17}};
  EXPECT_EQ(listed("trash"), trash);
}

TEST_F(LinuxLayoutTest, CleaningTrashTakesTheTickedItemsWithTheirInformationFiles) {
  auto r = run("trash", {"--clean", "--yes", "--select", "*/Trash/files/f.txt"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_FALSE(fs::exists(sb_->path("~/.local/share/Trash/files/f.txt")));
  EXPECT_FALSE(fs::exists(sb_->path("~/.local/share/Trash/info/f.txt.trashinfo")));
  EXPECT_TRUE(fs::exists(sb_->path("~/.local/share/Trash/files/dir/in")));
  EXPECT_TRUE(fs::exists(sb_->path("~/.local/share/Trash/info/dir.trashinfo")));

  r = run("junk", {"--clean", "--yes", "--select", "*/var/log/*", "--select", "*/.cache/app1"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  for (const char* gone : {"~/.cache/app1", "/var/log/syslog.1", "/var/log/apt/history.log.1.gz"}) {
    EXPECT_FALSE(fs::exists(sb_->path(gone))) << gone;
  }
  for (const char* kept : {"~/.cache/loose", "/var/log/syslog", "/var/log/apt/history.log",
                           "/var/cache/apt/archives/lock", "/var/crash/x.crash"}) {
    EXPECT_TRUE(fs::exists(sb_->path(kept))) << kept;
  }
}

TEST_F(LinuxLayoutTest, ModulesWithoutALinuxCounterpartAreRefusedInWords) {
  auto r = run("mail");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.out.find("MailAttachment\\\" has no Linux counterpart"), std::string::npos) << r.out;
  auto bad = testing::runProgram({testing::orvexaProgram(), "--layout", "windows", "junk"});
  EXPECT_EQ(bad.exitCode, 2);
}

// Every file the peer cleaner would delete from the same home is a listed
// record or inside one (an information file goes with its trash item).
TEST_F(LinuxLayoutTest, CoversWhatThePeerCleanerWouldDelete) {
  if (testing::shellOutput("command -v bleachbit").empty()) GTEST_SKIP() << "no bleachbit";
  std::map<std::string, int64_t> ours = listed("junk");
  ours.merge(listed("trash"));
  const std::string preview = testing::shellOutput(
      "HOME='" + sb_->home() +
      "' bleachbit --preview system.cache thumbnails.cache system.trash 2>/dev/null");
  std::istringstream lines(preview);
  int files = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Delete ", 0) != 0) continue;
    std::string path = line.substr(line.find(' ', 7) + 1);
    if (!fs::is_regular_file(fs::symlink_status(path))) continue;
    ++files;
    std::string p = path.substr(sb_->root().size());
    const std::string info = "/Trash/info/";
    if (size_t at = p.find(info); at != std::string::npos) {
      p = p.substr(0, at) + "/Trash/files/" + p.substr(at + info.size());
      p.resize(p.size() - std::string(".trashinfo").size());
    }
    bool covered = false;
    for (; !p.empty() && !covered; p.resize(p.rfind('/'))) covered = ours.count(p) != 0;
    EXPECT_TRUE(covered) << path;
  }
  EXPECT_GT(files, 5) << preview;
}

}  // namespace
}  // namespace orvexa
