#include "orvexa/helper/helper_event_plan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "orvexa/helper/helper_message.h"
#include "orvexa/helper/helper_path_policy.h"
#include "orvexa/helper/helper_protocol.h"
#include "support/plist_values.h"
#include "support/run_as.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

constexpr auto& dict = testing::plistDict;

// The cases in tests/data/<name>: a property list holding an array.
PlistValue::Array dataCases(std::string_view name) {
  const std::optional<PlistValue> list = readPlist(testing::testData(name));
  EXPECT_TRUE(list && list->asArray()) << name;
  return list && list->asArray() ? *list->asArray() : PlistValue::Array{};
}

// The helper acts only strictly inside the asking user's home and the
// system folders the catalogue names, under the sandbox's root; protected
// folders stay even inside those.
TEST(HelperPathTest, OnlyTheUsersHomeAndTheCataloguesFoldersAreAllowed) {
  testing::Sandbox sb;
  sb.dir("/Volumes/USB/.Trashes");
  std::istringstream table(testing::testData("helper/path_policy.tsv"));
  for (std::string line; std::getline(table, line);) {
    if (line.starts_with('#')) continue;
    const std::string reason = line.substr(0, line.find('\t'));
    std::string path = line.substr(reason.size() + 1);
    if (const size_t at = path.find("{uid}"); at != std::string::npos)
      path.replace(at, 5, std::to_string(::geteuid()));
    path = path.starts_with('~')   ? sb.path(path)
           : path.starts_with('@') ? sb.root() + path.substr(1)
                                   : path;
    const std::string refusal = helperPathRefusal(path);
    EXPECT_TRUE(reason == "allowed" ? refusal.empty()
                                    : refusal.rfind("Refused: ", 0) == 0 &&
                                          refusal.find(reason) != std::string::npos)
        << path << ": " << refusal;
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
// destination is checked too. (Normalising: HelperPathTest; refusals by
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
}

// Events whose dictionary holds a value of the wrong type, or lacks the
// operation, are refused whole, with the reason given.
TEST(HelperEventPlanTest, WrongTypesRefuseTheWholeRequest) {
  for (const PlistValue& c : dataCases("helper/wrong_event_types.plist")) {
    const HelperEventPlan plan = planHelperEvent(static_cast<int>(*c.find("event")->asInteger()),
                                                 *c.find("dictionary"), HelperPathScope{});
    EXPECT_TRUE(plan.error.find(*c.find("reason")->asString()) != std::string::npos &&
                plan.tasks.empty())
        << *c.find("name")->asString() << ": " << plan.error;
  }
}

std::string bodyOf(const PlistValue& value) { return writePlist(value, PlistFormat::Binary); }

// A frame fed byte by byte comes out whole at its last byte; frames that
// arrive in one read come out one after the other. (What a frame carries
// survives it: every server test.)
TEST(HelperMessageTest, FramesComeOutWholeWhateverTheReads) {
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
}

// A frame of exactly the limit is taken. (One byte over: the server test,
// with the refusal's text.)
TEST(HelperMessageTest, FrameSizeLimitIsInclusive) {
  std::string body;
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

// Each request refused: its body and the reason the refusal gives.
TEST(HelperMessageTest, MalformedRequestsAreRefusedWithAReason) {
  std::vector<std::pair<std::string, std::string>> cases = {
      {bodyOf(dict({{"operation", "getHelperVersion"}})).substr(0, 20), "malformed"},
      {bodyWithNulInKey(), "holds a NUL character"}};
  for (const PlistValue& c : dataCases("helper/malformed_requests.plist"))
    cases.emplace_back(bodyOf(*c.find("request")), *c.find("reason")->asString());
  for (const auto& [body, reason] : cases) {
    std::string why;
    EXPECT_FALSE(decodeHelperRequest(body, &why)) << reason;
    EXPECT_NE(why.find(reason), std::string::npos) << why;
  }
}

TEST(HelperMessageTest, MalformedRepliesAreRefused) {
  for (const PlistValue& body : dataCases("helper/malformed_replies.plist")) {
    std::string why;
    EXPECT_TRUE(!decodeHelperReply(bodyOf(body), &why) && !why.empty());
  }
}

}  // namespace
}  // namespace orvexa
