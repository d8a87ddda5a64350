#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/identity.h"
#include "support/helper_fixture.h"
#include "support/run_as.h"
#include "support/run_program.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::orvexaProgram;
using testing::runProgram;

// The apparent size of the files (and links) below a path: what `du
// --apparent-size` counts, less the directories' own entry tables, which have
// no size on the system the engine was made for.
int64_t duFilesOnly(const std::string& path) {
  std::string du = testing::shellOutput("du --apparent-size -s -B1 '" + path + "' | cut -f1");
  std::string dirs = testing::shellOutput(
      "find '" + path + "' -type d -printf '%s\\n' | awk '{s+=$1} END {print s+0}'");
  return std::stoll(du) - std::stoll(dirs);
}

TEST(JunkCommandTest, JsonListsTheTopLevelItemsWithTheirSizes) {
  testing::Sandbox sb(accountNameOf(geteuid()));  // the program runs as this account
  sb.layout({"~/Library/Caches/com.example.app/Cache.db:4096",
             "~/Library/Caches/com.example.app/fsCached/a:1000",
             "~/Library/Caches/com.example.app/fsCached/b:2000",
             "~/Library/Caches/org.sample.tool/data.bin:777", "~/Library/Caches/loose.cache:50",
             "~/Library/Caches/.hidden:9", "~/Library/Caches/com.apple.kext.caches/k:5",
             "~/Library/Logs/app.log:300", "/Library/Caches/shared/x:64",
             "/Library/Logs/DiagnosticReports/crash.ips:128"});
  auto r = runProgram({testing::orvexaProgram(), "junk", "--root", sb.root(), "--json", "--quiet"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  json doc = json::parse(r.out);
  ASSERT_TRUE(doc.contains("feature"));
  std::map<std::string, int64_t> seen;    // path -> size
  std::map<std::string, int64_t> blocks;  // path -> allocated size
  int64_t sum = 0;
  for (const json& category : doc["feature"]["categoryInfo"]) {
    int64_t categorySize = 0;
    for (const json& file : category["childrens"]) {
      std::string url = file["url"];
      ASSERT_EQ(url.rfind("file://", 0), 0u);
      std::string path = url.substr(7);
      if (!path.empty() && path.back() == '/') path.pop_back();
      seen[path] = file["size"];
      blocks[path] = file["allocatedSize"];
      categorySize += file["size"].get<int64_t>();
    }
    EXPECT_EQ(category["size"].get<int64_t>(), categorySize) << category["title"];
    sum += categorySize;
  }
  EXPECT_EQ(doc["total"].get<int64_t>(), sum);

  const std::vector<std::string> expected = {
      sb.path("~/Library/Caches/com.example.app"), sb.path("~/Library/Caches/org.sample.tool"),
      sb.path("~/Library/Caches/loose.cache"),     sb.path("~/Library/Logs/app.log"),
      sb.path("/Library/Caches/shared"),           sb.path("/Library/Logs/DiagnosticReports")};
  ASSERT_EQ(seen.size(), expected.size()) << r.out;
  for (const std::string& path : expected) {
    SCOPED_TRACE(path);
    ASSERT_EQ(seen.count(path), 1u);
    EXPECT_EQ(seen[path], duFilesOnly(path));
    EXPECT_EQ(blocks[path], std::stoll(testing::shellOutput("find '" + path +
                                                            "' ! -type d -printf '%b\\n' | awk "
                                                            "'{s+=$1} END {print s*512}'")));
  }
}

TEST(JunkCommandTest, TextOutputAndErrors) {
  testing::Sandbox sb(accountNameOf(geteuid()));  // the program runs as this account
  sb.layout({"~/Library/Caches/big/a:5000000", "~/Library/Caches/small:10"});
  auto r = runProgram({testing::orvexaProgram(), "junk", "--root", sb.root()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("User Cache Files (5.0 MB, 2 items)"), std::string::npos) << r.out;
  EXPECT_LT(r.out.find("big"), r.out.find("small")) << "largest first";
  EXPECT_NE(r.out.find("Total: 5.0 MB (5000010 bytes)"), std::string::npos) << r.out;
  EXPECT_TRUE(r.err.empty()) << "no progress bar when standard error is not a terminal";

  auto bad = runProgram({testing::orvexaProgram(), "junk", "--feature", "999"});
  EXPECT_NE(bad.exitCode, 0);
  EXPECT_NE(bad.err.find("no feature with finderID 999"), std::string::npos) << bad.err;

  auto badTool = runProgram({testing::orvexaProgram(), "junk", "--tool", "mdfind"});
  EXPECT_NE(badTool.exitCode, 0);
  EXPECT_NE(badTool.err.find("NAME=PATH"), std::string::npos) << badTool.err;
}

TEST(CatalogueCommandTest, JsonListsModulesSortedWithTheTwelveLargeFileViews) {
  auto r = runProgram({testing::orvexaProgram(), "catalogue", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  json doc = json::parse(r.out);
  int previous = -1;
  bool sawDuplicates = false, sawLarge = false;
  for (const json& m : doc["modules"]) {
    EXPECT_GT(m["finderID"].get<int>(), previous);
    previous = m["finderID"];
    for (const json& f : m["featureInfo"]) {
      if (m["type"] == "Duplicate") sawDuplicates = f["finderID"] == 7;
      if (m["type"] == "LaregeAndOldFiles") {
        ASSERT_EQ(f["categoryInfo"].size(), 1u);
        EXPECT_EQ(f["categoryInfo"][0]["title"], "All");
        sawLarge = f["categoryInfo"][0]["childrenCateogry"].size() == 12;
      }
    }
  }
  EXPECT_TRUE(sawDuplicates);
  EXPECT_TRUE(sawLarge);
}

// Every record path of every category of a junk scan's JSON document.
std::vector<std::string> listedPaths(const json& doc) {
  std::vector<std::string> paths;
  for (const json& category : doc["feature"]["categoryInfo"]) {
    for (const json& file : category["childrens"]) {
      std::string path = file["url"].get<std::string>().substr(7);
      if (!path.empty() && path.back() == '/') path.pop_back();
      paths.push_back(path);
    }
  }
  return paths;
}

class CleanJunkTest : public ::testing::Test {
 protected:
  CleanJunkTest() : sb_(accountNameOf(geteuid())) {}  // the program runs as this account
  void SetUp() override {
    sb_.layout({"~/Library/Caches/com.example.app/Cache.db:4096",
                "~/Library/Caches/com.example.app/fsCached/a:1000",
                "~/Library/Caches/loose.cache:50", "~/Library/Logs/app.log:300",
                "/Library/Caches/shared/x:64"});
  }
  testing::Sandbox sb_;
};

// A selected clean (JSON report), a clean of the rest (text report), and a
// scan that finds nothing more.
TEST_F(CleanJunkTest, CleanRemovesWhatIsSelectedThenTheRestAndASecondScanFindsNothing) {
  auto junk = [this](std::vector<std::string> extra) {
    std::vector<std::string> argv = {orvexaProgram(), "junk", "--root", sb_.root()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return runProgram(argv);
  };
  auto listed = junk({"--json", "--quiet"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  ASSERT_EQ(listedPaths(json::parse(listed.out)).size(), 4u) << listed.out;

  auto r =
      junk({"--clean", "--yes", "--json", "--select", "*/loose.cache", "--select", "*/Logs/*"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  json doc = json::parse(r.out);
  EXPECT_FALSE(fs::exists(sb_.path("~/Library/Caches/loose.cache")));
  EXPECT_FALSE(fs::exists(sb_.path("~/Library/Logs/app.log")));
  EXPECT_TRUE(fs::exists(sb_.path("~/Library/Caches/com.example.app/Cache.db")));
  EXPECT_TRUE(fs::exists(sb_.path("/Library/Caches/shared/x")));
  const json& clean = doc["clean"];
  EXPECT_EQ(clean["status"].get<int>(), 1);
  ASSERT_EQ(clean["records"].size(), 2u);
  int64_t freed = 0;  // the files' blocks
  for (const json& record : clean["records"]) {
    EXPECT_EQ(record["deleteStatus"].get<int>(), 2) << record;
    freed += record["allocatedSize"].get<int64_t>();
  }
  EXPECT_EQ(clean["freed"].get<int64_t>(), freed);
  // The document's feature is what is left.
  const std::vector<std::string> left = listedPaths(doc);
  EXPECT_EQ(left.size(), 2u) << r.out;
  EXPECT_EQ(doc["total"].get<int64_t>(), 4096 + 1000 + 64);

  auto cleaned = junk({"--clean", "--yes"});
  ASSERT_EQ(cleaned.exitCode, 0) << cleaned.out << cleaned.err;
  const size_t report = cleaned.out.find("\nremoved ");
  ASSERT_NE(report, std::string::npos) << cleaned.out;
  for (const std::string& path : left) {
    EXPECT_FALSE(fs::exists(path)) << path;
    EXPECT_NE(cleaned.out.find("  " + path + "\n", report), std::string::npos) << cleaned.out;
  }
  EXPECT_NE(cleaned.out.find("\nFreed: "), std::string::npos) << cleaned.out;
  // The folders that held them stay.
  EXPECT_TRUE(fs::is_directory(sb_.path("~/Library/Caches")));
  EXPECT_TRUE(fs::is_directory(sb_.path("/Library/Caches")));

  auto again = junk({"--json", "--quiet"});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_TRUE(listedPaths(json::parse(again.out)).empty()) << again.out;
}

TEST_F(CleanJunkTest, ItAsksAndRefusesWithoutATerminal) {
  const struct {
    const char* name;
    std::vector<std::string> extra;
    const char* error;
  } cases[] = {
      {"no --yes, standard input not a terminal",
       {"--clean"},
       "orvexa: --clean asks before deleting, but standard input is not a terminal: add --yes to "
       "delete without asking\n"},
      {"--yes without --clean", {"--yes"}, "orvexa: --select and --yes go with --clean\n"},
      {"--select without --clean",
       {"--select", "*"},
       "orvexa: --select and --yes go with --clean\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {orvexaProgram(), "junk", "--root", sb_.root(), "--quiet"};
    argv.insert(argv.end(), c.extra.begin(), c.extra.end());
    auto r = runProgram(argv);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, c.error);
    EXPECT_TRUE(fs::exists(sb_.path("~/Library/Caches/loose.cache")));
  }
  auto other = runProgram({orvexaProgram(), "catalogue", "--clean"});
  EXPECT_NE(other.exitCode, 0) << "commands without a clean do not take --clean";
}

// As a user without root rights: their own items go, an item they may not
// remove needs the helper, which is not installed (and is not installed on
// the way): the message says what to run. Once installed for that user, the
// helper program removes it from the user's home.
TEST(CleanJunkAsUserTest, ItemsThatNeedTheHelperFailWithAMessageWhenItIsMissing) {
  if (!testing::canSwitchUser()) GTEST_SKIP() << "needs root to run as another user";
  testing::Sandbox sb("nobody");
  sb.layout({"~/Library/Caches/mine.cache:10", "~/Library/Caches/rootdir/x:20"});
  ::chmod(sb.root().c_str(), 0755);
  for (const auto& entry : fs::recursive_directory_iterator(sb.path("/Users"))) {
    if (entry.path().string().find("rootdir") != std::string::npos) continue;
    ::lchown(entry.path().c_str(), testing::kNobodyUid, testing::kNogroupGid);
  }
  ::chmod(sb.path("~/Library/Caches/rootdir").c_str(), 0755);
  auto cleanAsNobody = [&sb] {
    return testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, [&] {
      auto r = runProgram({orvexaProgram(), "junk", "--root", sb.root(), "--quiet", "--clean",
                           "--yes", "--select", "*/Caches/*"});
      return std::to_string(r.exitCode) + "\n" + r.out + "\n" + r.err;
    });
  };
  std::optional<std::string> result = cleanAsNobody();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->substr(0, 2), "1\n") << *result;
  EXPECT_FALSE(fs::exists(sb.path("~/Library/Caches/mine.cache")));
  EXPECT_TRUE(fs::exists(sb.path("~/Library/Caches/rootdir/x")));
  EXPECT_NE(result->find("failed   "), std::string::npos) << *result;
  EXPECT_NE(result->find(std::string("orvexa: 1 item needs root rights, but the privileged helper "
                                     "could not be used: ") +
                         kHelperNotInstalledText),
            std::string::npos)
      << *result;
  EXPECT_FALSE(fs::exists(sb.path("/Library/PrivilegedHelperTools")));

  if (!fs::exists(fs::path(orvexaProgram()).parent_path() / "orvexa-helper")) return;
  auto helper = [&sb](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {orvexaProgram(), "helper"});
    arguments.insert(arguments.end(), {"--root", sb.root()});
    return runProgram(arguments);
  };
  ASSERT_EQ(helper({"install", "--user", "65534"}).exitCode, 0);
  struct StopAtEnd {
    std::function<void()> stop;
    ~StopAtEnd() { stop(); }
  } stopAtEnd{[&helper] { (void)helper({"stop"}); }};
  testing::openFoldersForEveryone(sb.root(), sb.path("/var/run"));
  result = cleanAsNobody();
  EXPECT_EQ(result->substr(0, 2), "0\n") << *result;
  EXPECT_FALSE(fs::exists(sb.path("~/Library/Caches/rootdir")));
}

}  // namespace
}  // namespace orvexa
