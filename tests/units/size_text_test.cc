#include "orvexa/units/size_text.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace orvexa {
namespace {

TEST(SizeTextTest, DecimalUnitsWithOneDecimalAndTheSignKept) {
  const struct {
    int64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 B"},         {999, "999 B"},        {1000, "1.0 KB"},
      {1550, "1.6 KB"},   {999949, "999.9 KB"},  {1000000, "1.0 MB"},
      {-2500, "-2.5 KB"}, {INT64_MAX, "9.2 EB"}, {INT64_MIN, "-9.2 EB"},
  };
  for (const auto& c : cases) EXPECT_EQ(humanSize(c.bytes), c.text) << c.bytes;
}

}  // namespace
}  // namespace orvexa
