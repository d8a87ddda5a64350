#include "orvexa/helper/helper_event_plan.h"

#include <gtest/gtest.h>

#include "orvexa/helper/helper_path_policy.h"
#include "orvexa/platform/paths.h"
#include "support/sandbox.h"

namespace orvexa {
namespace {

PlistValue dict(std::initializer_list<std::pair<std::string, PlistValue>> entries) {
  PlistValue d = PlistValue::dictionary();
  for (const auto& [key, value] : entries) d.set(key, value);
  return d;
}

TEST(HelperPathTest, SystemLocationsAndMalformedPathsAreRefused) {
  Paths::shared().reset();
  const struct {
    const char* path;
    const char* reason;  // empty: allowed
  } cases[] = {
      {"/", "protected"},
      {"/usr", "protected"},
      {"/usr/bin/env", "protected"},
      {"/usr/local", "protected"},
      {"/usr/local/bin", "protected"},
      {"/etc/passwd", "protected"},
      {"/etc", "protected"},
      {"/bin/sh", "protected"},
      {"/System/Library/Kernels", "protected"},
      {"/private/etc/hosts", "protected"},
      {"/Library", "protected"},
      {"/Library/Caches", "protected"},
      {"/Library/PrivilegedHelperTools", "protected"},
      {"/Users", "protected"},
      {"/Users/alice", "protected"},
      {"/Users/alice/Library", "protected"},
      {"/home/alice", "protected"},
      {"/Volumes/USB", "protected"},
      {"/var", "protected"},
      {"/tmp", "protected"},
      {"//usr//", "protected"},
      {"relative/file", "not an absolute path"},
      {"", "not an absolute path"},
      {"/tmp/../etc/passwd", "\"..\""},
      {"/tmp/./x", "\"..\""},
      {"/Library/Caches/com.example.app", ""},
      {"/Users/alice/Library/Caches/x", ""},
      {"/usr/local/lib/leftover", ""},
      {"/tmp/x", ""},
      {"/var/log/app.log", ""},
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
  EXPECT_EQ(helperPathRefusal("//tmp//x///", &normalized), "");
  EXPECT_EQ(normalized, "/tmp/x");
}

TEST(HelperPathTest, TheSandboxRootsSystemFoldersAreProtectedToo) {
  testing::Sandbox sb;
  const struct {
    std::string path;
    bool refused;
  } cases[] = {
      {sb.root(), true},
      {sb.path("/Library"), true},
      {sb.path("/Library/LaunchDaemons"), true},
      {sb.path("/Users/tester"), true},
      {sb.path("/Users/tester/Library"), true},
      {sb.path("/usr/bin/mdfind"), true},
      {sb.path("/Library/Caches/x"), false},
      {sb.path("/Users/tester/Library/Caches/x"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(!helperPathRefusal(c.path).empty(), c.refused) << helperPathRefusal(c.path);
  }
}

TEST(HelperEventPlanTest, WellFormedEventsBecomeTasks) {
  Paths::shared().reset();
  PlistValue listed = dict({{"0", 0}, {"1", 3}});
  putListedItem(listed.asDictionary(), "/tmp", ListedIdentity{7, 5, 9, 2, 8});
  HelperEventPlan remove = planHelperEvent(
      1,
      dict({{"/tmp//a/", listed}, {"/usr/bin", dict({{"0", 1}})}, {"/tmp/b", dict({{"0", 2}})}}));
  ASSERT_EQ(remove.error, "");
  ASSERT_EQ(remove.tasks.size(), 3u);
  EXPECT_EQ(remove.tasks[0].normalized, "/tmp/a");
  EXPECT_EQ(remove.tasks[0].refusal, "");
  EXPECT_EQ(remove.tasks[0].listed.root, "/tmp");
  EXPECT_EQ(remove.tasks[0].listed.path, "/tmp/a");
  EXPECT_EQ(remove.tasks[0].listed.identity, (ListedIdentity{7, 5, 9, 2, 8}));
  EXPECT_EQ(remove.tasks[2].refusal,
            "Refused: the request gives no scan root and listed identity for it");
  EXPECT_EQ(remove.tasks[1].normalized, "");
  EXPECT_NE(remove.tasks[1].refusal.find("protected"), std::string::npos);

  HelperEventPlan move = planHelperEvent(
      3, dict({{"OperationValue", 4},
               {"/tmp/Spotlight/a.mdimporter",
                dict({{"ToPath", PlistValue("/tmp/Spotlight (Disabled)/a.mdimporter")}})}}));
  ASSERT_EQ(move.error, "");
  ASSERT_EQ(move.tasks.size(), 1u);
  EXPECT_EQ(move.tasks[0].toPath, "/tmp/Spotlight (Disabled)/a.mdimporter");

  HelperEventPlan dns = planHelperEvent(3, dict({{"OperationValue", 1}}));
  EXPECT_EQ(dns.error, "");
  EXPECT_EQ(dns.operation, HelperMaintenanceOperation::CleanDNS);
  EXPECT_TRUE(dns.tasks.empty());

  HelperEventPlan close = planHelperEvent(4, PlistValue::dictionary());
  EXPECT_EQ(close.error, "");
  EXPECT_EQ(close.event, HelperHanldeEventID::CloseHelper);
}

TEST(HelperEventPlanTest, WrongTypesRefuseTheWholeRequest) {
  Paths::shared().reset();
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
    HelperEventPlan plan = planHelperEvent(c.event, c.dictionary);
    EXPECT_NE(plan.error.find(c.reason), std::string::npos) << plan.error;
    EXPECT_TRUE(plan.tasks.empty());
  }
}

}  // namespace
}  // namespace orvexa
