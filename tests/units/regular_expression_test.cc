#include "units/regular_expression.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvexa::internal {
namespace {

using Matches = std::vector<std::string>;

// The shapes the tool-output parsers rely on, one row each.
TEST(RegularExpressionTest, MatchesOfEachShape) {
  const std::string listing =
      "disabled services = {\n\t\"com.example.agent\" => false\n}\n"
      "login item associations = {\n}\n";
  const struct {
    const char* pattern;
    std::string text;
    Matches expected;
  } cases[] = {
      {R"(\{[\S\s]*?\})", listing, {"{\n\t\"com.example.agent\" => false\n}", "{\n}"}},
      {R"(\{[\S\s]*\})",
       listing,
       {"{\n\t\"com.example.agent\" => false\n}\nlogin item associations = {\n}"}},
      {"COM\\.[a-z]+", listing, {}},              // letters keep their case
      {"\\{.\\t", "{\n\t {\r\t {x\t", {"{x\t"}},  // "." takes no line break
      {"[^\\s=>]+ =>", listing, {"\"com.example.agent\" =>"}},
      {"x*", "a\xC3\xA9", {"", "", ""}},  // an empty match steps a whole character
      {"\xC3\xA9+", "a\xC3\xA9\xC3\xA9\xFF\xC3\xA9", {"\xC3\xA9\xC3\xA9", "\xC3\xA9"}},
      {"(", listing, {}},
      {"[z-a]", listing, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(matchesOf(c.pattern, c.text), c.expected);
  }
  const auto caseless =
      RegularExpression::compile("COM\\.[a-z]+", RegularExpression::Case::insensitive);
  ASSERT_TRUE(caseless);
  EXPECT_EQ(caseless->allMatches(listing), Matches{"com.example"});
}

// Long texts neither exhaust the stack (a lazy block over megabytes) nor run
// away (nested quantifiers over a near-match end at the step budget).
TEST(RegularExpressionTest, LongAndHostileTexts) {
  std::string blocks;
  for (int i = 0; i < 20000; ++i) blocks += "{" + std::string(200, i % 2 ? '\n' : 'x') + "}";
  EXPECT_EQ(matchesOf(R"(\{[\S\s]*?\})", blocks).size(), 20000u);
  EXPECT_TRUE(matchesOf("(a+)+$", std::string(5000, 'a') + "b").empty());
}

}  // namespace
}  // namespace orvexa::internal
