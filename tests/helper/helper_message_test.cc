#include "orvexa/helper/helper_message.h"

#include <gtest/gtest.h>

#include "orvexa/helper/helper_protocol.h"
#include "support/plist_values.h"

namespace orvexa {
namespace {

using testing::plistDict;

std::string bodyOf(const PlistValue& value) { return writePlist(value, PlistFormat::Binary); }

// A request frame fed byte by byte comes out whole at its last byte; two
// reply frames in one read come out one after the other.
TEST(HelperMessageTest, RequestsAndRepliesSurviveTheirFrames) {
  const HelperRequest request{HelperRequest::Operation::handleEvent,
                              raw(HelperHanldeEventID::Delete),
                              plistDict({{"/tmp/a b/c", plistDict({{"0", 0}, {"1", 7}})}})};
  const std::string frame = encodeHelperFrame(helperRequestToPlist(request));
  HelperFrameDecoder decoder;
  std::string body;
  for (size_t i = 0; i + 1 < frame.size(); ++i) {
    decoder.feed(frame.substr(i, 1));
    ASSERT_EQ(decoder.next(&body), HelperFrameDecoder::State::needMore) << i;
  }
  decoder.feed(frame.substr(frame.size() - 1));
  ASSERT_EQ(decoder.next(&body), HelperFrameDecoder::State::frame);
  EXPECT_EQ(decoder.pending(), 0u);
  std::string why;
  std::optional<HelperRequest> decoded = decodeHelperRequest(body, &why);
  ASSERT_TRUE(decoded) << why;
  EXPECT_EQ(decoded->operation, HelperRequest::Operation::handleEvent);
  EXPECT_EQ(decoded->event, 1);
  EXPECT_EQ(decoded->dictionary, request.dictionary);

  const HelperReply reply{true, raw(HelperEventErrorID::Success),
                          plistDict({{"DeleteStatus", 1}, {"DeleteDesc", ""}}), "1.0.0"};
  const std::string replyFrame = encodeHelperFrame(helperReplyToPlist(reply));
  decoder.feed(replyFrame + replyFrame);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(decoder.next(&body), HelperFrameDecoder::State::frame);
    std::optional<HelperReply> back = decodeHelperReply(body, &why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(std::tie(back->flag, back->code, back->information, back->message),
              std::tie(reply.flag, reply.code, reply.information, reply.message));
  }
  EXPECT_EQ(decoder.next(&body), HelperFrameDecoder::State::needMore);
}

// One byte over the limit is refused from the header alone (the server test
// checks the refusal text); a frame of exactly the limit is taken.
TEST(HelperMessageTest, FrameSizeLimitIsInclusive) {
  std::string body;
  uint32_t announced = 0;
  HelperFrameDecoder over(1000);
  over.feed(std::string{'\x00', '\x00', '\x03', '\xE9'});
  EXPECT_EQ(over.next(&body, &announced), HelperFrameDecoder::State::tooLarge);
  EXPECT_EQ(announced, 1001u);
  HelperFrameDecoder exact(1000);
  exact.feed(std::string{'\x00', '\x00', '\x03', '\xE8'} + std::string(1000, 'x'));
  EXPECT_EQ(exact.next(&body), HelperFrameDecoder::State::frame);
  EXPECT_EQ(body.size(), 1000u);
}

// A key with a NUL byte inside: the property-list library would abort on it.
std::string bodyWithNulInKey() {
  std::string body = bodyOf(plistDict({{"operatioX", "getHelperVersion"}}));
  body[body.find("operatioX") + 8] = '\0';
  return body;
}

TEST(HelperMessageTest, MalformedRequestsAreRefusedWithAReason) {
  const auto handleEvent = [](std::initializer_list<PlistValue::Entry> rest) {
    PlistValue request = plistDict({{"operation", "handleEvent"}});
    for (const auto& [key, value] : rest) request.set(key, value);
    return bodyOf(request);
  };
  const PlistValue empty = plistDict({});
  const struct {
    const char* name;
    std::string body;
    const char* reason;
  } cases[] = {
      {"empty", "", "not a binary property list"},
      {"xml", writePlist(plistDict({{"operation", "getHelperVersion"}}), PlistFormat::Xml),
       "not a binary property list"},
      {"truncated binary", bodyOf(plistDict({{"operation", "getHelperVersion"}})).substr(0, 20),
       "malformed"},
      {"array root", bodyOf(PlistValue::Array{"getHelperVersion"}), "not a dictionary"},
      {"key with a NUL", bodyWithNulInKey(), "holds a NUL character"},
      {"no operation", bodyOf(plistDict({{"event", 1}})), "\"operation\" is missing"},
      {"operation not text", bodyOf(plistDict({{"operation", 3}})), "\"operation\" is missing"},
      {"unknown operation", bodyOf(plistDict({{"operation", "format"}})), "unknown operation"},
      {"event missing", handleEvent({{"dictionary", empty}}), "\"event\""},
      {"event text", handleEvent({{"event", "1"}, {"dictionary", empty}}), "\"event\""},
      {"event beyond 32 bits", handleEvent({{"event", int64_t{1} << 40}, {"dictionary", empty}}),
       "\"event\""},
      {"dictionary missing", handleEvent({{"event", 1}}), "\"dictionary\""},
      {"dictionary is array", handleEvent({{"event", 1}, {"dictionary", PlistValue::array()}}),
       "\"dictionary\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    EXPECT_FALSE(decodeHelperRequest(c.body, &why));
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
}

TEST(HelperMessageTest, MalformedRepliesAreRefused) {
  for (const PlistValue& body :
       {plistDict({{"code", 1}}), plistDict({{"flag", 1}, {"code", 1}}),
        plistDict({{"flag", true}}), plistDict({{"flag", true}, {"code", 1}, {"information", "x"}}),
        plistDict({{"flag", true}, {"code", 1}, {"message", 4}})}) {
    std::string why;
    EXPECT_FALSE(decodeHelperReply(bodyOf(body), &why));
    EXPECT_FALSE(why.empty());
  }
}

}  // namespace
}  // namespace orvexa
