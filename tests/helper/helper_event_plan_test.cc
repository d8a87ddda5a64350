#include "orvexa/helper/helper_event_plan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <tuple>

#include "orvexa/helper/helper_message.h"
#include "orvexa/helper/helper_path_policy.h"
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
  // By the reason a refusal gives ("": allowed), the paths that get it.
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"protected",
       {"/", "/usr/bin/env", "/etc/passwd", sb.root(), sb.path("/Library"),
        sb.path("/Library/Caches"), sb.path("/Library/LaunchDaemons"), sb.path("/Users/tester"),
        sb.path("/Users/tester/Library"), sb.path("/usr/bin/mdfind"),
        sb.path("~/Library/Keychains/login.keychain-db"),
        sb.path("~/library/KEYCHAINS/login.keychain-db"),
        sb.path("~/Library/Application Support/MobileSync"), sb.path("~/Documents"),
        sb.path("/Library/Preferences/SystemConfiguration/preferences.plist")}},
      {"",
       {sb.path("~/Library/Application Support/MobileSync/Backup/0a1b"),
        sb.path("/Library/Caches/com.example.app"), sb.path("~/Library/Caches/x"),
        sb.path("~/Documents/report.txt"), sb.path("/Library/LaunchDaemons/com.example.plist"),
        sb.path("/Library/Spotlight Disabled/A.mdimporter"), sb.path("/Applications/Example.app"),
        sb.path("/private/var/tmp/x"), sb.path("/Users/Shared/com.example.app/data"),
        sb.path(ownTrash + "/f")}},
      {"not an absolute path", {"relative/file", ""}},
      {"\"..\"", {sb.path("/Library/Caches/../../x"), sb.path("/Library/Caches/./x")}},
      {"shared users folder",
       {sb.path("/Users/Shared/Family Photos/a.jpg"), sb.path("/Users/Shared/notes.txt"),
        sb.path("/Users/Shared/.com.example.app")}},
      {"outside",
       {sb.path("/Users/alice/Documents/f"), sb.path("/opt/data/file"),
        sb.path("/Library/Fonts/Font.ttf"), sb.path("/Volumes/USB/.Trashes/4242/f"),
        sb.path("/Library/Caches Disabled"), "/tmp/x", "/var/log/app.log"}},
  };
  for (const auto& [reason, paths] : cases) {
    for (const std::string& path : paths) {
      const std::string refusal = helperPathRefusal(path);
      EXPECT_TRUE(*reason ? refusal.rfind("Refused: ", 0) == 0 &&
                                refusal.find(reason) != std::string::npos
                          : refusal.empty())
          << path << ": " << refusal;
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

// A Delete needs the scan root and identity the listing recorded; a move's
// destination is checked too; a value of the wrong type refuses the whole
// request. (Normalising: HelperPathTest; refusals by
// path, with their texts: HelperServerTest; a listing carried through to
// the removal: the helper's column of CleanPathTest.)
TEST(HelperEventPlanTest, EveryPathOfAnEventIsChecked) {
  testing::Sandbox sb;
  const HelperPathScope scope = helperPathScopeFor(::geteuid());
  HelperEventPlan remove =
      planHelperEvent(1, dict({{sb.path("/Library/Caches/b"), dict({{"0", 2}})}}), scope);
  EXPECT_EQ(remove.tasks.at(0).refusal,
            "Refused: the request gives no scan root and listed identity for it");

  const std::string from = sb.path("/Library/Spotlight/a.mdimporter");
  const auto move = [&](const std::string& to) {
    return planHelperEvent(3, dict({{"OperationValue", 4}, {from, dict({{"ToPath", to}})}}), scope);
  };
  const std::string to = sb.path("/Library/Spotlight Disabled/a.mdimporter");
  EXPECT_EQ(move(to).tasks.at(0).toPath + "|" + move(to).tasks.at(0).refusal, to + "|");
  EXPECT_NE(move("/tmp/a").tasks.at(0).refusal.find("outside"), std::string::npos);

  // Wrong types refuse the whole request. Per case: the event, its
  // dictionary and the reason of the refusal.
  const std::tuple<const char*, int, PlistValue, const char*> cases[] = {
      {"event zero", 0, PlistValue::dictionary(), "Unknown event 0"},
      {"delete number text", 1, dict({{"/tmp/a", dict({{"0", "x"}})}}), "wrong type"},
      {"shred value array", 2, dict({{"/tmp/a", PlistValue::array()}}), "wrong type"},
      {"no operation", 3, dict({{"/tmp/a", PlistValue::dictionary()}}), "OperationValue"},
      {"unknown operation", 3, dict({{"OperationValue", 7}}), "Unknown operation 7"},
      {"move without destination", 3,
       dict({{"OperationValue", 4}, {"/tmp/a", PlistValue::dictionary()}}), "ToPath"},
      {"clean value number", 3, dict({{"OperationValue", 3}, {"/tmp/a", 5}}), "wrong type"},
  };
  for (const auto& [name, event, dictionary, reason] : cases) {
    HelperEventPlan plan = planHelperEvent(event, dictionary, HelperPathScope{});
    EXPECT_TRUE(plan.error.find(reason) != std::string::npos && plan.tasks.empty())
        << name << ": " << plan.error;
  }
}

std::string bodyOf(const PlistValue& value) { return writePlist(value, PlistFormat::Binary); }

// A frame fed byte by byte comes out whole at its last byte; frames that
// arrive in one read come out one after the other. (What a frame carries
// survives it: every server test.)
TEST(HelperMessageTest, FramesComeOutWholeWhateverTheReadsUpToTheLimit) {
  const std::string frame = encodeHelperFrame(helperRequestToPlist(
      {HelperRequest::Operation::handleEvent, 1, dict({{"/tmp/a b/c", dict({{"0", 0}})}})}));
  HelperFrameDecoder decoder;
  std::string body;
  for (size_t i = 0; i + 1 < frame.size(); ++i) {
    decoder.feed(frame.substr(i, 1));
    ASSERT_EQ(decoder.next(&body), HelperFrameDecoder::State::needMore) << i;
  }
  decoder.feed(frame.substr(frame.size() - 1) + frame + frame);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(decoder.next(&body), HelperFrameDecoder::State::frame);
    EXPECT_EQ(body, frame.substr(4));  // past the length
  }
  EXPECT_EQ(decoder.next(&body), HelperFrameDecoder::State::needMore);
  // A frame of exactly the limit is taken. (One byte over: the server test,
  // with the refusal's text.)
  HelperFrameDecoder exact(1000);
  exact.feed(std::string{'\x00', '\x00', '\x03', '\xE8'} + std::string(1000, 'x'));
  EXPECT_TRUE(exact.next(&body) == HelperFrameDecoder::State::frame && body.size() == 1000u);
}

// A key with a NUL byte inside: the property-list library would abort on it.
std::string bodyWithNulInKey() {
  std::string body = bodyOf(dict({{"operatioX", "getHelperVersion"}}));
  body[body.find("operatioX") + 8] = '\0';
  return body;
}

TEST(HelperMessageTest, MalformedRequestsAndRepliesAreRefused) {
  const PlistValue::Entry handleEvent = {"operation", "handleEvent"},
                          empty = {"dictionary", dict({})};
  const std::tuple<const char*, std::string, const char*> cases[] = {
      {"truncated binary", bodyOf(dict({{"operation", "getHelperVersion"}})).substr(0, 20),
       "malformed"},
      {"array root", bodyOf(PlistValue::Array{"getHelperVersion"}), "not a dictionary"},
      {"key with a NUL", bodyWithNulInKey(), "holds a NUL character"},
      {"no operation", bodyOf(dict({{"event", 1}})), "\"operation\" is missing"},
      {"unknown operation", bodyOf(dict({{"operation", "format"}})), "unknown operation"},
      {"event missing", bodyOf(dict({handleEvent, empty})), "\"event\""},
      {"event beyond 32 bits", bodyOf(dict({handleEvent, {"event", int64_t{1} << 40}, empty})),
       "\"event\""},
      {"dictionary missing", bodyOf(dict({handleEvent, {"event", 1}})), "\"dictionary\""},
  };
  for (const auto& [name, body, reason] : cases) {
    std::string why;
    EXPECT_FALSE(decodeHelperRequest(body, &why)) << name;
    EXPECT_NE(why.find(reason), std::string::npos) << name << ": " << why;
  }
  // Malformed replies are refused too.
  for (const PlistValue& body : {dict({{"code", 1}}), dict({{"flag", true}}),
                                 dict({{"flag", true}, {"code", 1}, {"information", "x"}}),
                                 dict({{"flag", true}, {"code", 1}, {"message", 4}})}) {
    std::string why;
    EXPECT_TRUE(!decodeHelperReply(bodyOf(body), &why) && !why.empty());
  }
}

}  // namespace
}  // namespace orvexa
