#include <gtest/gtest.h>

#include <tuple>

#include "orvexa/units/size_text.h"
#include "units/regular_expression.h"

namespace orvexa::internal {
namespace {

using Matches = std::vector<std::string>;

// The shapes the tool-output parsers rely on, one row each; long texts
// neither exhaust the stack nor run away (the step budget ends them).
TEST(RegularExpressionTest, MatchesOfEachShape) {
  const std::string listing = "list = {\n\t\"com.example.agent\" => false\n}\nother = {\n}\n";
  std::string blocks;
  for (int i = 0; i < 20000; ++i) blocks += "{" + std::string(200, i % 2 ? '\n' : 'x') + "}";
  const std::tuple<std::string, std::string, Matches> cases[] = {
      {R"(\{[\S\s]*?\})", listing, {"{\n\t\"com.example.agent\" => false\n}", "{\n}"}},
      {R"(\{[\S\s]*\})", listing, {listing.substr(7, listing.size() - 8)}},
      {"COM\\.[a-z]+", listing, {}},              // letters keep their case
      {"\\{.\\t", "{\n\t {\r\t {x\t", {"{x\t"}},  // "." takes no line break
      {"x*", "a\xC3\xA9", {"", "", ""}},          // an empty match steps a whole character
      {"\xC3\xA9+", "\xC3\xA9\xC3\xA9\xFF\xC3\xA9", {"\xC3\xA9\xC3\xA9", "\xC3\xA9"}},
      {"(", listing, {}},
      {"(a+)+$", std::string(5000, 'a') + "b", {}},
  };
  for (const auto& [pattern, text, expected] : cases)
    EXPECT_EQ(matchesOf(pattern, text), expected) << pattern;
  EXPECT_EQ(matchesOf(R"(\{[\S\s]*?\})", blocks).size(), 20000u);
  EXPECT_EQ(
      RegularExpression::compile("COM", RegularExpression::Case::insensitive)->allMatches(listing),
      Matches{"com"});
}

TEST(SizeTextTest, DecimalUnitsWithOneDecimalAndTheSignKept) {
  const std::tuple<int64_t, const char*> cases[] = {
      {0, "0 B"},         {999, "999 B"},        {1000, "1.0 KB"},
      {1550, "1.6 KB"},   {999949, "999.9 KB"},  {1000000, "1.0 MB"},
      {-2500, "-2.5 KB"}, {INT64_MAX, "9.2 EB"}, {INT64_MIN, "-9.2 EB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(humanSize(bytes), text) << bytes;
}

}  // namespace
}  // namespace orvexa::internal
