#include "orvexa/platform/utf8.h"

#include <gtest/gtest.h>

#include <tuple>

namespace orvexa {
namespace {

TEST(Utf8Test, AcceptsExactlyTheWellFormedSequences) {
  const std::tuple<std::string, bool> cases[] = {
      {"", true},
      {std::string("nul\0inside", 10), true},
      {"\xC3\xA9t\xC3\xA9", true},  // été
      {"\xE2\x82\xAC", true},       // U+20AC
      {"\xF0\x9F\x98\x80", true},   // U+1F600
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF, the last code point
      {"\xC0\xAF", false},          // overlong "/"
      {"\xE0\x80\xAF", false},      // overlong, three bytes
      {"\xF0\x80\x80\xAF", false},  // overlong, four bytes
      {"\xED\xA0\x80", false},      // a surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xF5\x80\x80\x80", false},  // lead byte that never starts anything
      {"\x80", false},              // continuation without a lead
      {"\xE2\x82", false},          // cut short at the end
      {"\xE2(\xA1", false},         // bad continuation in the middle
  };
  for (const auto& [text, valid] : cases)
    EXPECT_EQ(isValidUtf8(text), valid) << ::testing::PrintToString(text);
}

}  // namespace
}  // namespace orvexa
