#include "orvexa/units/size_text.h"

#include <gtest/gtest.h>

#include <tuple>

namespace orvexa {
namespace {

TEST(SizeTextTest, DecimalUnitsWithOneDecimalAndTheSignKept) {
  const std::tuple<int64_t, const char*> cases[] = {
      {0, "0 B"},         {999, "999 B"},        {1000, "1.0 KB"},
      {1550, "1.6 KB"},   {999949, "999.9 KB"},  {1000000, "1.0 MB"},
      {-2500, "-2.5 KB"}, {INT64_MAX, "9.2 EB"}, {INT64_MIN, "-9.2 EB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(humanSize(bytes), text) << bytes;
}

}  // namespace
}  // namespace orvexa
