#include "orvexa/helper/helper_message.h"

#include <gtest/gtest.h>

#include "orvexa/helper/helper_protocol.h"

namespace orvexa {
namespace {

std::string bodyOf(const PlistValue& value) { return writePlist(value, PlistFormat::Binary); }

PlistValue dict(std::initializer_list<std::pair<const char*, PlistValue>> entries) {
  PlistValue d = PlistValue::dictionary();
  for (const auto& [key, value] : entries) d.set(key, value);
  return d;
}

TEST(HelperMessageTest, RequestsAndRepliesSurviveTheirFrames) {
  HelperRequest request;
  request.operation = HelperRequest::Operation::handleEvent;
  request.event = raw(HelperHanldeEventID::Delete);
  request.dictionary = dict({{"/tmp/a b/c", dict({{"0", 0}, {"1", 7}})}});
  const std::string frame = encodeHelperFrame(helperRequestToPlist(request));

  HelperFrameDecoder decoder;
  std::string body;
  // Byte by byte: nothing until the last byte arrives.
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

  HelperReply reply;
  reply.flag = true;
  reply.code = raw(HelperEventErrorID::Success);
  reply.information = dict({{"DeleteStatus", 1}, {"DeleteDesc", ""}});
  reply.message = "1.0.0";
  const std::string replyFrame = encodeHelperFrame(helperReplyToPlist(reply));
  // Two frames in one read come out one after the other.
  decoder.feed(replyFrame + replyFrame);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(decoder.next(&body), HelperFrameDecoder::State::frame);
    std::optional<HelperReply> back = decodeHelperReply(body, &why);
    ASSERT_TRUE(back) << why;
    EXPECT_TRUE(back->flag);
    EXPECT_EQ(back->code, 1);
    EXPECT_EQ(back->information, reply.information);
    EXPECT_EQ(back->message, "1.0.0");
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
  std::string body = bodyOf(dict({{"operatioX", "getHelperVersion"}}));
  body[body.find("operatioX") + 8] = '\0';
  return body;
}

TEST(HelperMessageTest, MalformedRequestsAreRefusedWithAReason) {
  PlistValue array = PlistValue::array();
  array.append("getHelperVersion");
  const struct {
    const char* name;
    std::string body;
    const char* reason;
  } cases[] = {
      {"empty", "", "not a binary property list"},
      {"xml", writePlist(dict({{"operation", "getHelperVersion"}}), PlistFormat::Xml),
       "not a binary property list"},
      {"truncated binary", bodyOf(dict({{"operation", "getHelperVersion"}})).substr(0, 20),
       "malformed"},
      {"array root", bodyOf(array), "not a dictionary"},
      {"key with a NUL", bodyWithNulInKey(), "holds a NUL character"},
      {"no operation", bodyOf(dict({{"event", 1}})), "\"operation\" is missing"},
      {"operation not text", bodyOf(dict({{"operation", 3}})), "\"operation\" is missing"},
      {"unknown operation", bodyOf(dict({{"operation", "format"}})), "unknown operation"},
      {"event missing", bodyOf(dict({{"operation", "handleEvent"}, {"dictionary", dict({})}})),
       "\"event\""},
      {"event text",
       bodyOf(dict({{"operation", "handleEvent"}, {"event", "1"}, {"dictionary", dict({})}})),
       "\"event\""},
      {"event beyond 32 bits",
       bodyOf(dict({{"operation", "handleEvent"},
                    {"event", PlistValue(int64_t{1} << 40)},
                    {"dictionary", dict({})}})),
       "\"event\""},
      {"dictionary missing", bodyOf(dict({{"operation", "handleEvent"}, {"event", 1}})),
       "\"dictionary\""},
      {"dictionary is array",
       bodyOf(dict({{"operation", "handleEvent"}, {"event", 1}, {"dictionary", array}})),
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
  const struct {
    const char* name;
    PlistValue body;
  } cases[] = {
      {"no flag", dict({{"code", 1}})},
      {"flag not boolean", dict({{"flag", 1}, {"code", 1}})},
      {"no code", dict({{"flag", true}})},
      {"information not a dictionary", dict({{"flag", true}, {"code", 1}, {"information", "x"}})},
      {"message not text", dict({{"flag", true}, {"code", 1}, {"message", 4}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    EXPECT_FALSE(decodeHelperReply(bodyOf(c.body), &why));
    EXPECT_FALSE(why.empty());
  }
}

}  // namespace
}  // namespace orvexa
