#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "orvexa/platform/identity.h"
#include "support/run_as.h"
#include "support/run_program.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::orvexaProgram;
using testing::runProgram;

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

TEST_F(CleanJunkTest, CleanRemovesWhatWasListedAndASecondScanFindsNothing) {
  auto listed = runProgram({orvexaProgram(), "junk", "--root", sb_.root(), "--json", "--quiet"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  std::vector<std::string> before = listedPaths(json::parse(listed.out));
  ASSERT_EQ(before.size(), 4u) << listed.out;

  auto cleaned = runProgram({orvexaProgram(), "junk", "--root", sb_.root(), "--clean", "--yes"});
  ASSERT_EQ(cleaned.exitCode, 0) << cleaned.out << cleaned.err;
  for (const std::string& path : before) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_NE(cleaned.out.find("removed  "), std::string::npos);
    EXPECT_NE(cleaned.out.find(path), std::string::npos) << cleaned.out;
  }
  EXPECT_NE(cleaned.out.find("Freed: 5.5 KB (5510 bytes)"), std::string::npos) << cleaned.out;
  // The folders that held them stay.
  EXPECT_TRUE(fs::is_directory(sb_.path("~/Library/Caches")));
  EXPECT_TRUE(fs::is_directory(sb_.path("/Library/Caches")));

  auto again = runProgram({orvexaProgram(), "junk", "--root", sb_.root(), "--json", "--quiet"});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_TRUE(listedPaths(json::parse(again.out)).empty()) << again.out;
}

TEST_F(CleanJunkTest, SelectTicksOnlyMatchingRecordsAndJsonReportsTheClean) {
  auto r = runProgram({orvexaProgram(), "junk", "--root", sb_.root(), "--clean", "--yes", "--json",
                       "--select", "*/loose.cache", "--select", "*/Logs/*"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  json doc = json::parse(r.out);
  EXPECT_FALSE(fs::exists(sb_.path("~/Library/Caches/loose.cache")));
  EXPECT_FALSE(fs::exists(sb_.path("~/Library/Logs/app.log")));
  EXPECT_TRUE(fs::exists(sb_.path("~/Library/Caches/com.example.app/Cache.db")));
  EXPECT_TRUE(fs::exists(sb_.path("/Library/Caches/shared/x")));

  const json& clean = doc["clean"];
  EXPECT_EQ(clean["freed"].get<int64_t>(), 350);
  EXPECT_EQ(clean["status"].get<int>(), 1);
  ASSERT_EQ(clean["records"].size(), 2u);
  for (const json& record : clean["records"]) {
    EXPECT_EQ(record["deleteStatus"].get<int>(), 2) << record;
  }
  // The document's feature is what is left.
  std::vector<std::string> left = listedPaths(doc);
  EXPECT_EQ(left.size(), 2u) << r.out;
  EXPECT_EQ(doc["total"].get<int64_t>(), 4096 + 1000 + 64);
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
// remove needs the helper, which is not installed.
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
  std::optional<std::string> result =
      testing::runAsUser(testing::kNobodyUid, testing::kNogroupGid, [&] {
        auto r = runProgram({orvexaProgram(), "junk", "--root", sb.root(), "--quiet", "--clean",
                             "--yes", "--select", "*/Caches/*"});
        return std::to_string(r.exitCode) + "\n" + r.out + "\n" + r.err;
      });
  ASSERT_TRUE(result);
  EXPECT_EQ(result->substr(0, 2), "1\n") << *result;
  EXPECT_FALSE(fs::exists(sb.path("~/Library/Caches/mine.cache")));
  EXPECT_TRUE(fs::exists(sb.path("~/Library/Caches/rootdir/x")));
  EXPECT_NE(result->find("failed   "), std::string::npos) << *result;
  EXPECT_NE(result->find("Get admain authorization fail!"), std::string::npos) << *result;
  EXPECT_NE(result->find("orvexa: 1 item needs root rights, but the privileged helper could not be "
                         "used (Get admain authorization fail!); install it with \"sudo orvexa "
                         "helper install\""),
            std::string::npos)
      << *result;
}

}  // namespace
}  // namespace orvexa
