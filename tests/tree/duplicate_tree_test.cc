#include <gtest/gtest.h>

#include "orvexa/tree/duplicate_folder_info.h"
#include "orvexa/tree/duplicate_node.h"

namespace orvexa {
namespace {

TEST(DuplicateFolderInfoTest, CalculateValueIsTheDifferenceOfAsciiSums) {
  struct Case {
    const char* a;
    const char* b;
    int64_t value;
  };
  const Case cases[] = {
      {"ab", "ba", 0},
      {"", "a", 97},
      // Bytes outside ASCII add nothing ("é" is two bytes, "文" three).
      {"caf\xc3\xa9", "caf", 0},
      {"\xe6\x96\x87"
       "x",
       "y", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    EXPECT_EQ(DuplicateFolderInfo::calculateValue(c.a, c.b), c.value);
  }
}

TEST(DuplicateNodeTest, CalculationDistanceStringSortsDescendingAndJoins) {
  struct Case {
    std::vector<std::string> texts;
    std::string joined;
  };
  const Case cases[] = {
      {{"a", "A", "b"}, "baA"},  // plain byte order: upper case sorts first
      {{"ab", "a", "abc"}, "abcaba"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.texts));
    EXPECT_EQ(DuplicateNode::calculationDistanceString(c.texts), c.joined);
  }
}

}  // namespace
}  // namespace orvexa
