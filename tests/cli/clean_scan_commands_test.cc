// --clean on the scan commands whose results are files of the home, a folder
// tree or applications: what is selected goes, the rest stays, a second scan
// no longer lists it, and --json prints one document with the clean's report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "orvexa/platform/identity.h"
#include "scan/uninstall/uninstall_fixtures.h"
#include "support/run_program.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::orvexaProgram;
using testing::runProgram;

// Every record path anywhere in a result document ("url" members).
void collectPaths(const json& node, std::set<std::string>* paths) {
  if (node.is_object()) {
    for (const auto& [key, value] : node.items()) {
      if (key == "url" && value.is_string()) {
        std::string path = value.get<std::string>();  // no name here needs escaping
        if (path.rfind("file://", 0) == 0) path = path.substr(7);
        if (path.size() > 1 && path.back() == '/') path.pop_back();
        if (!path.empty()) paths->insert(path);
      } else {
        collectPaths(value, paths);
      }
    }
  } else if (node.is_array()) {
    for (const json& item : node) collectPaths(item, paths);
  }
}

std::set<std::string> listedPaths(const json& doc) {
  std::set<std::string> paths;
  collectPaths(doc.at("feature"), &paths);
  return paths;
}

// The home holds documents, three applications with their preferences (Foo
// has been opened, Bar and Baz never) and the files of a removed
// application.
class CleanScanCommandsTest : public ::testing::Test {
 protected:
  CleanScanCommandsTest() : sb_(accountNameOf(geteuid())) {}  // the program runs as this account

  void SetUp() override {
    sb_.layout({"~/docs/big.bin:5000", "~/docs/small.txt:300", "~/docs/old/a.log:100",
                "~/docs/old/b.log:200", "~/docs/keep/c.log:50",
                "~/Library/Preferences/com.example.foo.plist:11",
                "~/Library/Preferences/com.example.bar.plist:12",
                "~/Library/Preferences/com.example.baz.plist:15",
                "~/Library/Preferences/org.removed.gone.plist:13",
                "~/Library/Logs/org.removed.gone/x.log:14"});
    foo_ = testing::makeApp(sb_, "/Applications/Foo.app", "com.example.foo");
    bar_ = testing::makeApp(sb_, "/Applications/Bar.app", "com.example.bar");
    baz_ = testing::makeApp(sb_, "/Applications/Baz.app", "com.example.baz");
    bazCopy_ = testing::makeApp(sb_, "~/Applications/Baz.app", "com.example.baz");
    // Opened: the executable was read after it was written.
    struct timespec times[2];
    ::clock_gettime(CLOCK_REALTIME, &times[0]);
    times[1].tv_sec = times[0].tv_sec - 3600;
    times[1].tv_nsec = 0;
    ASSERT_EQ(::utimensat(AT_FDCWD, (foo_ + "/Contents/MacOS/main").c_str(), times, 0), 0);
  }

  std::vector<std::string> argv(const std::vector<std::string>& command,
                                std::vector<std::string> extra = {}) const {
    // The root as a user may write it: with "." and a trailing slash.
    std::vector<std::string> out{orvexaProgram(), "--root", sb_.root() + "/./", "--quiet"};
    out.insert(out.end(), command.begin(), command.end());
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
  }

  testing::Sandbox sb_;
  std::string foo_;
  std::string bar_;
  std::string baz_;
  std::string bazCopy_;
};

TEST_F(CleanScanCommandsTest, CleanRemovesTheSelectionAndASecondScanNoLongerListsIt) {
  const std::string docs = sb_.path("~/docs");
  const std::string prefs = sb_.path("~/Library/Preferences/");
  const struct {
    const char* name;
    std::vector<std::string> command;
    std::vector<std::string> select;
    std::vector<std::string> removed;  // listed before, gone after
    std::vector<std::string> kept;     // listed before, still there
    std::vector<std::string> spared;   // not in this result, still there
  } cases[] = {
      {"large: one file of the home",
       {"large"},
       {"--select", "*/docs/*.bin"},
       {docs + "/big.bin"},
       {docs + "/small.txt", docs + "/old/a.log"},
       {}},
      {"disk-usage: the files of one folder of the tree",
       {"disk-usage", docs, "--depth", "0"},
       {"--select", "*/old/*"},
       {docs + "/old/a.log", docs + "/old/b.log"},
       {docs + "/old", docs + "/keep/c.log", docs + "/small.txt"},
       {}},
      {"apps: an application by title, with its files",
       {"apps"},
       {"--select", "Bar"},
       {bar_, prefs + "com.example.bar.plist"},
       {foo_, prefs + "com.example.foo.plist", baz_},
       {}},
      {"apps: one of two copies by path; the data both list stays",
       {"apps"},
       {"--select", bazCopy_},
       {bazCopy_},
       {baz_, prefs + "com.example.baz.plist"},
       {}},
      {"unused-apps: by bundle path, with its files; an opened one is not listed",
       {"unused-apps"},
       {"--select", "*/Applications/*"},
       {baz_, prefs + "com.example.baz.plist"},
       {},
       {foo_, prefs + "com.example.foo.plist"}},
      {"leftovers: a group by name",
       {"leftovers"},
       {"--select", "org.removed.gone"},
       {prefs + "org.removed.gone.plist", sb_.path("~/Library/Logs/org.removed.gone")},
       {},
       {foo_, prefs + "com.example.foo.plist"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto before = runProgram(argv(c.command, {"--json"}));
    ASSERT_EQ(before.exitCode, 0) << before.err;
    const std::set<std::string> listed = listedPaths(json::parse(before.out));
    for (const std::string& path : c.removed) {
      ASSERT_EQ(listed.count(path), 1u) << path << " in " << before.out;
    }
    for (const std::string& path : c.kept) {
      ASSERT_EQ(listed.count(path), 1u) << path << " in " << before.out;
    }

    std::vector<std::string> clean = {"--clean", "--yes", "--json"};
    clean.insert(clean.end(), c.select.begin(), c.select.end());
    auto cleaned = runProgram(argv(c.command, clean));
    ASSERT_EQ(cleaned.exitCode, 0) << cleaned.out << cleaned.err;
    const json doc = json::parse(cleaned.out);  // one document, nothing else
    const json& report = doc.at("clean");
    EXPECT_EQ(report.at("status").get<int>(), 1);
    ASSERT_FALSE(report.at("records").empty());
    int64_t freed = 0;
    for (const json& record : report.at("records")) {
      EXPECT_EQ(record.at("deleteStatus").get<int>(), 2) << record;
      freed += record.at("allocatedSize").get<int64_t>();
    }
    EXPECT_EQ(report.at("freed").get<int64_t>(), freed);
    const std::set<std::string> left = listedPaths(doc);
    for (const std::string& path : c.removed) {
      EXPECT_FALSE(fs::exists(path)) << path;
      EXPECT_EQ(left.count(path), 0u) << path << " still in the document after the clean";
    }
    for (const std::string& path : c.kept) EXPECT_TRUE(fs::exists(path)) << path;
    for (const std::string& path : c.spared) EXPECT_TRUE(fs::exists(path)) << path;

    auto again = runProgram(argv(c.command, {"--json"}));
    ASSERT_EQ(again.exitCode, 0) << again.err;
    const std::set<std::string> relisted = listedPaths(json::parse(again.out));
    for (const std::string& path : c.removed) EXPECT_EQ(relisted.count(path), 0u) << path;
    for (const std::string& path : c.kept) EXPECT_EQ(relisted.count(path), 1u) << path;
  }
}

// Results where "everything" is never meant take --select; the refusal
// comes before the scan and deletes nothing.
TEST_F(CleanScanCommandsTest, CommandsThatListEverythingRefuseACleanWithoutSelect) {
  const std::vector<std::vector<std::string>> commands = {
      {"large"}, {"disk-usage", sb_.path("~/docs")}, {"apps"}, {"unused-apps"}, {"leftovers"}};
  for (const auto& command : commands) {
    SCOPED_TRACE(command.front());
    auto r = runProgram(argv(command, {"--clean", "--yes"}));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "orvexa: --clean needs --select GLOB here: say which records to delete\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_TRUE(fs::exists(sb_.path("~/docs/big.bin")));
  EXPECT_TRUE(fs::exists(bar_));
  EXPECT_TRUE(fs::exists(baz_));
  EXPECT_TRUE(fs::exists(sb_.path("~/Library/Preferences/org.removed.gone.plist")));

  // Each leftover group says why it is thought to be one.
  const std::string why = "named after org.removed.gone, which no installed application has";
  auto listed = runProgram(argv({"leftovers"}, {"--json"}));
  const json doc = json::parse(listed.out);
  const json& groups = doc.at("feature").at("categoryInfo").at(0).at("childrenCateogry");
  ASSERT_EQ(groups.size(), 1u) << listed.out;
  EXPECT_EQ(groups[0].at("reason"), why);
  EXPECT_NE(runProgram(argv({"leftovers"})).out.find("why: " + why + "\n"), std::string::npos);

  // A selection that matches nothing is not an error.
  auto none = runProgram(argv({"large"}, {"--clean", "--yes", "--select", "*/nothing"}));
  EXPECT_EQ(none.exitCode, 0) << none.err;
  EXPECT_NE(none.out.find("Nothing to clean.\n"), std::string::npos) << none.out;
}

// Ctrl-C during a scan with --clean: what was found so far is shown, and
// nothing is deleted, however much the selection matches.
TEST_F(CleanScanCommandsTest, AnInterruptedScanIsNeverCleaned) {
  const std::string started = sb_.path("~/mdfind-started");
  const std::string tool = sb_.path("~/fake-mdfind");
  {
    std::ofstream script(tool);
    script << "#!/bin/sh\necho '" << sb_.path("~/docs/big.bin") << "'\n: > '" << started
           << "'\nexec sleep 2\n";
  }
  ASSERT_EQ(::chmod(tool.c_str(), 0755), 0);
  auto r =
      runProgram(argv({"--tool", "mdfind=" + tool, "large"}, {"--clean", "--yes", "--select", "*"}),
                 [&](pid_t pid) {
                   for (int i = 0; i < 500 && !fs::exists(started); ++i) {
                     std::this_thread::sleep_for(std::chrono::milliseconds(10));
                   }
                   ::kill(pid, SIGINT);
                 });
  ASSERT_TRUE(fs::exists(started)) << "the scan never ran its query";
  EXPECT_EQ(r.exitCode, 130) << r.err;
  EXPECT_NE(r.err.find("interrupted: nothing was deleted"), std::string::npos) << r.err;
  for (const char* file : {"~/docs/big.bin", "~/docs/small.txt", "~/docs/old/a.log"}) {
    EXPECT_TRUE(fs::exists(sb_.path(file))) << file;
  }
}

}  // namespace
}  // namespace orvexa
