#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>

#include "orvexa/platform/identity.h"
#include "support/run_program.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

using nlohmann::json;
using testing::runProgram;

// The apparent size of the files (and links) below a path: what `du
// --apparent-size` counts, less the directories' own entry tables, which have
// no size on the system the engine was made for.
int64_t duFilesOnly(const std::string& path) {
  std::string du = testing::shellOutput("du --apparent-size -s -B1 '" + path + "' | cut -f1");
  std::string dirs = testing::shellOutput("find '" + path +
                                          "' -type d -printf '%s\\n' | awk '{s+=$1} END {print s+0}'");
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
  auto r = runProgram({testing::orvexaProgram(), "junk", "--root", sb.root(), "--json",
                       "--quiet"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  json doc = json::parse(r.out);
  ASSERT_TRUE(doc.contains("feature"));
  std::map<std::string, int64_t> seen;  // path -> size
  int64_t sum = 0;
  for (const json& category : doc["feature"]["categoryInfo"]) {
    int64_t categorySize = 0;
    for (const json& file : category["childrens"]) {
      std::string url = file["url"];
      ASSERT_EQ(url.rfind("file://", 0), 0u);
      std::string path = url.substr(7);
      if (!path.empty() && path.back() == '/') path.pop_back();
      seen[path] = file["size"];
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

}  // namespace
}  // namespace orvexa
