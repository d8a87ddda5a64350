#include <gtest/gtest.h>

#include "orvexa/tree/duplicate_folder_info.h"
#include "orvexa/tree/duplicate_node.h"

namespace orvexa {
namespace {

TEST(DuplicateTreeTest, FolderValuesAndDistanceStrings) {
  EXPECT_EQ(DuplicateFolderInfo::calculateValue("ab", "ba"), 0);
  EXPECT_EQ(DuplicateFolderInfo::calculateValue("", "a"), 97);
  // Bytes outside ASCII add nothing ("é" is two bytes, "文" three).
  EXPECT_EQ(DuplicateFolderInfo::calculateValue("caf\xc3\xa9", "caf"), 0);
  EXPECT_EQ(DuplicateFolderInfo::calculateValue("\xe6\x96\x87x", "y"), 1);
  // Sorted descending in plain byte order (upper case first), then joined.
  EXPECT_EQ(DuplicateNode::calculationDistanceString({"a", "A", "b"}), "baA");
  EXPECT_EQ(DuplicateNode::calculationDistanceString({"ab", "a", "abc"}), "abcaba");
}

}  // namespace
}  // namespace orvexa
