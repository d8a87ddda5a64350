#include "orvexa/platform/utf8.h"

#include <gtest/gtest.h>

namespace orvexa {
namespace {

using namespace std::string_literals;

// Valid: "été", U+20AC, U+1F600, U+10FFFF (the last code point), NUL inside,
// empty. Invalid: "/" overlong in two, three and four bytes, a surrogate,
// above U+10FFFF, a lead byte that never starts anything, a continuation
// without a lead, cut short at the end, a bad continuation in the middle.
TEST(Utf8Test, AcceptsExactlyTheWellFormedSequences) {
  const std::string valid[] = {"\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                               "\xF4\x8F\xBF\xBF",  "nul\0inside"s, ""};
  const std::string invalid[] = {"\xC0\xAF",     "\xE0\x80\xAF",     "\xF0\x80\x80\xAF",
                                 "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",
                                 "\x80",         "\xE2\x82",         "\xE2(\xA1"};
  for (const std::string& text : valid)
    EXPECT_TRUE(isValidUtf8(text)) << ::testing::PrintToString(text);
  for (const std::string& text : invalid)
    EXPECT_FALSE(isValidUtf8(text)) << ::testing::PrintToString(text);
}

}  // namespace
}  // namespace orvexa
