// The Linux layout on a sandboxed desktop home: what junk, trash and large
// list (sizes as the macOS scans count them: the files' logical bytes), what
// a clean removes, and what a peer cleaner would delete.
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
const std::string kUid = std::to_string(geteuid());

class LinuxLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Paths::shared().setLayout(Layout::Linux);
    sb_ = std::make_unique<testing::Sandbox>(accountNameOf(geteuid()));
    sb_->layout(
        {"~/.cache/app1/a:1000", "~/.cache/app1/sub/b:24", "~/.cache/loose:70",
         "~/.cache/thumbnails/normal/t.png:300", "~/.cache/pip/http/x:500",
         "~/.cache/go-build/ab/c:50", "~/.npm/_cacache/i:9", "~/.local/share/Trash/files/f.txt:77",
         "~/.local/share/Trash/files/dir/in:3", "~/.local/share/Trash/info/f.txt.trashinfo:40",
         "~/.local/share/Trash/info/dir.trashinfo:41", "/var/cache/apt/archives/p_1_amd64.deb:900",
         "/var/cache/apt/archives/lock", "/var/cache/apt/archives/partial/q.deb:40",
         "/var/log/syslog:11", "/var/log/syslog.1:12", "/var/log/apt/history.log:1",
         "/var/log/apt/history.log.1.gz:14", "/var/crash/x.crash:15"});
    sb_->file("~/.cache/.dot", 6);
    sb_->file("~/.local/share/Trash/files/.dot", 5);
    sb_->file("~/.local/share/Trash/info/gone.trashinfo", 42);  // its item is gone
    sb_->file("/media/USB/.Trash-" + kUid + "/files/u", 16);
    sb_->file("/mnt/disk/.Trash/" + kUid + "/files/m", 17);
  }
  void TearDown() override {
    sb_.reset();
    Paths::shared().setLayout(Layout::macOS);
  }

  // The JSON document of a command; `records` gets each record's path
  // (below the root) and size.
  json run(const std::string& command, std::vector<std::string> extra = {},
           std::map<std::string, int64_t>* records = nullptr) {
    std::vector<std::string> argv = {testing::orvexaProgram(),
                                     "--layout",
                                     "linux",
                                     command,
                                     "--root",
                                     sb_->root(),
                                     "--quiet",
                                     "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto r = testing::runProgram(argv);
    json doc = json::parse(r.out, nullptr, false);
    if (!doc.is_object()) return json{{"exitCode", r.exitCode}, {"out", r.out}};
    for (const json& category : doc["feature"]["categoryInfo"]) {
      for (const json& file : category["childrens"]) {
        std::string path = file["url"].get<std::string>().substr(7 + sb_->root().size());
        if (path.back() == '/') path.pop_back();
        if (records) (*records)[path] = file["size"];
      }
    }
    doc["exitCode"] = r.exitCode;
    return doc;
  }

  std::unique_ptr<testing::Sandbox> sb_;
};

TEST_F(LinuxLayoutTest, JunkAndTrashListTheirItemsAndCleanTheTickedOnes) {
  std::map<std::string, int64_t> listed;
  run("junk", {}, &listed);
  run("trash", {}, &listed);
  std::map<std::string, int64_t> expected;  // from "path:size"
  for (const std::string& e : std::vector<std::string>{
           "~/.cache/app1:1024", "~/.cache/loose:70", "~/.cache/thumbnails/normal:300",
           "~/.cache/pip/http:500", "~/.cache/go-build/ab:50", "~/.npm/_cacache/i:9",
           "/var/cache/apt/archives/p_1_amd64.deb:900", "/var/cache/apt/archives/partial/q.deb:40",
           "/var/log/syslog.1:12", "/var/log/apt/history.log.1.gz:14", "/var/crash/x.crash:15",
           "~/.local/share/Trash/files/f.txt:77", "~/.local/share/Trash/files/dir:3",
           "~/.local/share/Trash/files/.dot:5", "~/.local/share/Trash/info/gone.trashinfo:42",
           "~/.cache/.dot:6", "/media/USB/.Trash-" + kUid + "/files/u:16",
           "/mnt/disk/.Trash/" + kUid + "/files/m:17"}) {
    const size_t colon = e.rfind(':');
    expected[sb_->path(e.substr(0, colon)).substr(sb_->root().size())] =
        std::stoll(e.substr(colon + 1));
  }
  EXPECT_EQ(listed, expected);

  EXPECT_EQ(run("trash", {"--clean", "--yes", "--select", "*/files/f.txt"})["exitCode"], 0);
  EXPECT_EQ(run("junk", {"--clean", "--yes", "--select", "*/var/log/*"})["exitCode"], 0);
  for (const auto& [path, gone] :
       std::map<std::string, bool>{{"~/.local/share/Trash/files/f.txt", true},
                                   {"~/.local/share/Trash/info/f.txt.trashinfo", true},
                                   {"/var/log/apt/history.log.1.gz", true},
                                   {"~/.local/share/Trash/info/dir.trashinfo", false},
                                   {"/var/log/apt/history.log", false},
                                   {"/var/cache/apt/archives/lock", false}}) {
    EXPECT_EQ(fs::exists(sb_->path(path)), !gone) << path;
  }
  const json refused = run("mail");
  EXPECT_EQ(refused["exitCode"], 2);
  EXPECT_EQ(refused["errors"][0].get<std::string>().find("\"MailAttachment\" has no Linux"), 0u);

  // large: only files above the query's size; a disk image is an archive.
  fs::resize_file(sb_->file("~/d/disk.iso", ""), 60u << 20);
  fs::resize_file(sb_->file("~/d/photo.jpg", ""), 70u << 20);
  fs::resize_file(sb_->file("~/d/limit.bin", ""), 50u << 20);
  std::map<std::string, std::string> viewOf;  // file name -> type view
  const json large = run("large");
  for (const json& view : large["feature"]["categoryInfo"][0]["childrenCateogry"]) {
    for (const json& file : view["childrens"]) {
      if (view["title"] != "Last Week")
        viewOf[file["title"]] += view["title"].get<std::string>() + " ";
    }
  }
  const std::map<std::string, std::string> views = {{"disk.iso", "Archives Small "},
                                                    {"photo.jpg", "Pictures Small "}};
  EXPECT_EQ(viewOf, views);
}

// Every file the peer cleaner would delete from the same home is a listed
// record or inside one (an information file goes with its trash item).
TEST_F(LinuxLayoutTest, CoversWhatThePeerCleanerWouldDelete) {
  if (testing::shellOutput("command -v bleachbit").empty()) GTEST_SKIP() << "no bleachbit";
  std::map<std::string, int64_t> ours;
  run("junk", {}, &ours);
  run("trash", {}, &ours);
  std::istringstream preview(testing::shellOutput(
      "HOME='" + sb_->home() +
      "' bleachbit --preview system.cache thumbnails.cache system.trash 2>/dev/null"));
  int files = 0;
  for (std::string line; std::getline(preview, line);) {
    std::string path = line.substr(line.find(' ', 7) + 1);
    if (line.rfind("Delete ", 0) != 0 || !fs::is_regular_file(fs::symlink_status(path))) continue;
    ++files;
    std::string p = path.substr(sb_->root().size());
    if (size_t at = p.find("/Trash/info/"); at != std::string::npos && ours.count(p) == 0) {
      p = p.replace(at, 12, "/Trash/files/").substr(0, p.size() - 10);  // less ".trashinfo"
    }
    while (!p.empty() && ours.count(p) == 0) p.resize(p.rfind('/'));
    EXPECT_FALSE(p.empty()) << path;
  }
  EXPECT_GT(files, 5);
}

}  // namespace
}  // namespace orvexa
