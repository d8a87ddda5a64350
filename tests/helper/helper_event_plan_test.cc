#include "orvexa/helper/helper_event_plan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "orvexa/helper/helper_path_policy.h"
#include "orvexa/platform/paths.h"
#include "support/plist_values.h"
#include "support/run_as.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

constexpr auto& dict = testing::plistDict;

// The helper acts only strictly inside the asking user's home and the
// system folders the catalogue names, under the sandbox's root; protected
// folders stay even inside those.
TEST(HelperPathTest, OnlyTheUsersHomeAndTheCataloguesFoldersAreAllowed) {
  testing::Sandbox sb;
  sb.dir("/Volumes/USB/.Trashes");
  const std::string ownTrash = "/Volumes/USB/.Trashes/" + std::to_string(::geteuid());
  const struct {
    std::string path;
    const char* reason;  // empty: allowed
  } cases[] = {
      {"/", "protected"},
      {"/usr/bin/env", "protected"},
      {"/etc/passwd", "protected"},
      {sb.root(), "protected"},
      {sb.path("/Library"), "protected"},
      {sb.path("/Library/Caches"), "protected"},
      {sb.path("/Library/LaunchDaemons"), "protected"},
      {sb.path("/Users/tester"), "protected"},
      {sb.path("/Users/tester/Library"), "protected"},
      {sb.path("/usr/bin/mdfind"), "protected"},
      {sb.path("~/Library/Keychains/login.keychain-db"), "protected"},
      {sb.path("~/library/KEYCHAINS/login.keychain-db"), "protected"},
      {sb.path("~/Library/Application Support/MobileSync"), "protected"},
      {sb.path("~/Documents"), "protected"},
      {sb.path("/Library/Preferences/SystemConfiguration/preferences.plist"), "protected"},
      {sb.path("~/Library/Application Support/MobileSync/Backup/0a1b"), ""},
      {"relative/file", "not an absolute path"},
      {"", "not an absolute path"},
      {sb.path("/Library/Caches/../../x"), "\"..\""},
      {sb.path("/Library/Caches/./x"), "\"..\""},
      {sb.path("/Library/Caches/com.example.app"), ""},
      {sb.path("~/Library/Caches/x"), ""},
      {sb.path("~/Documents/report.txt"), ""},
      {sb.path("/Library/LaunchDaemons/com.example.plist"), ""},
      {sb.path("/Library/Spotlight Disabled/A.mdimporter"), ""},
      {sb.path("/Applications/Example.app"), ""},
      {sb.path("/private/var/tmp/x"), ""},
      {sb.path("/Users/Shared/com.example.app/data"), ""},
      {sb.path("/Users/Shared/Family Photos/a.jpg"), "shared users folder"},
      {sb.path("/Users/Shared/notes.txt"), "shared users folder"},
      {sb.path("/Users/Shared/.com.example.app"), "shared users folder"},
      {sb.path(ownTrash + "/f"), ""},
      {sb.path("/Users/alice/Documents/f"), "outside"},
      {sb.path("/opt/data/file"), "outside"},
      {sb.path("/Library/Fonts/Font.ttf"), "outside"},
      {sb.path("/Volumes/USB/.Trashes/4242/f"), "outside"},
      {sb.path("/Library/Caches Disabled"), "outside"},
      {"/tmp/x", "outside"},
      {"/var/log/app.log", "outside"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string refusal = helperPathRefusal(c.path);
    if (c.reason[0] == '\0') {
      EXPECT_EQ(refusal, "");
    } else {
      EXPECT_NE(refusal.find(c.reason), std::string::npos) << refusal;
      EXPECT_EQ(refusal.rfind("Refused: ", 0), 0u) << refusal;
    }
  }
  EXPECT_NE(helperPathRefusal(std::string("/tmp/a\0b", 8)).find("NUL"), std::string::npos);
  std::string normalized;
  EXPECT_EQ(helperPathRefusal(sb.path("//Library//Caches//x///"), &normalized), "");
  EXPECT_EQ(normalized, sb.path("/Library/Caches/x"));
  // Another user's scope holds that user's home, not this one's.
  const HelperPathScope nobody = helperPathScopeFor(testing::kNobodyUid);
  EXPECT_EQ(helperPathRefusal(sb.path("/Users/nobody/x"), nobody), "");
  EXPECT_NE(helperPathRefusal(sb.path("~/x"), nobody), "");
  EXPECT_EQ(helperPathRefusal(sb.path("/Library/Caches/x"), nobody), "");
}

// Paths are normalised and checked one by one (a Delete needs the scan root
// and identity the listing recorded); a move's destination is checked too.
TEST(HelperEventPlanTest, WellFormedEventsBecomeTasks) {
  testing::Sandbox sb;
  const HelperPathScope scope = helperPathScopeFor(::geteuid());
  const std::string root = sb.path("/Library/Caches");
  PlistValue listed = dict({{"0", 0}, {"1", 3}});
  putListedItem(listed.asDictionary(), root, ListedIdentity{7, 5, 9, 2, 8});
  HelperEventPlan remove = planHelperEvent(1,
                                           dict({{root + "//a/", listed},
                                                 {"/usr/bin", dict({{"0", 1}})},
                                                 {root + "/b", dict({{"0", 2}})}}),
                                           scope);
  ASSERT_EQ(remove.error, "");
  ASSERT_EQ(remove.tasks.size(), 3u);
  const HelperPathTask& a = remove.tasks[0];
  EXPECT_EQ(std::tie(a.normalized, a.refusal, a.listed.root, a.listed.path),
            std::make_tuple(root + "/a", "", root, root + "/a"));
  EXPECT_EQ(a.listed.identity, (ListedIdentity{7, 5, 9, 2, 8}));
  EXPECT_EQ(remove.tasks[1].normalized, "");
  EXPECT_NE(remove.tasks[1].refusal.find("protected"), std::string::npos);
  EXPECT_EQ(remove.tasks[2].refusal,
            "Refused: the request gives no scan root and listed identity for it");

  const std::string from = sb.path("/Library/Spotlight/a.mdimporter");
  const auto move = [&](const std::string& to) {
    return planHelperEvent(3, dict({{"OperationValue", 4}, {from, dict({{"ToPath", to}})}}), scope);
  };
  const std::string to = sb.path("/Library/Spotlight Disabled/a.mdimporter");
  EXPECT_EQ(move(to).tasks.at(0).toPath, to);
  EXPECT_EQ(move(to).tasks.at(0).refusal, "");
  EXPECT_NE(move("/tmp/a").tasks.at(0).refusal.find("outside"), std::string::npos);

  HelperEventPlan dns = planHelperEvent(3, dict({{"OperationValue", 1}}), scope);
  EXPECT_EQ(dns.error, "");
  EXPECT_EQ(dns.operation, HelperMaintenanceOperation::CleanDNS);
  EXPECT_TRUE(dns.tasks.empty());
}

TEST(HelperEventPlanTest, WrongTypesRefuseTheWholeRequest) {
  const struct {
    const char* name;
    int event;
    PlistValue dictionary;
    const char* reason;
  } cases[] = {
      {"unknown event", 9, PlistValue::dictionary(), "Unknown event 9"},
      {"event zero", 0, PlistValue::dictionary(), "Unknown event 0"},
      {"delete value text", 1, dict({{"/tmp/a", "0"}}), "wrong type"},
      {"delete number text", 1, dict({{"/tmp/a", dict({{"0", "x"}})}}), "wrong type"},
      {"shred value array", 2, dict({{"/tmp/a", PlistValue::array()}}), "wrong type"},
      {"no operation", 3, dict({{"/tmp/a", PlistValue::dictionary()}}), "OperationValue"},
      {"operation text", 3, dict({{"OperationValue", "1"}}), "OperationValue"},
      {"unknown operation", 3, dict({{"OperationValue", 7}}), "Unknown operation 7"},
      {"move without destination", 3,
       dict({{"OperationValue", 4}, {"/tmp/a", PlistValue::dictionary()}}), "ToPath"},
      {"clean value number", 3, dict({{"OperationValue", 3}, {"/tmp/a", 5}}), "wrong type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HelperEventPlan plan = planHelperEvent(c.event, c.dictionary, HelperPathScope{});
    EXPECT_NE(plan.error.find(c.reason), std::string::npos) << plan.error;
    EXPECT_TRUE(plan.tasks.empty());
  }
}

}  // namespace
}  // namespace orvexa
