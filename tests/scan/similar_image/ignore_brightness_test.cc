// The gray check with and without the pictures' mean levels.
#include <gtest/gtest.h>

#include "orvexa/scan/similar_image/similar_scan_service.h"

namespace orvexa {
namespace {

TEST(IgnoreBrightnessTest, OnlyABrightenedCopyPassesAndOnlyWhenAsked) {
  std::vector<int> picture, brighter, other;
  for (int i = 0; i < 42; ++i) {
    picture.push_back(40 + (i * 37) % 150);
    brighter.push_back(picture.back() + 25);
    other.push_back(i % 3 == 0 ? 255 - picture.back() : picture.back());
  }
  EXPECT_GT(SimilarScanService::grayDistance(picture, brighter, 10, false), 5);
  EXPECT_EQ(SimilarScanService::grayDistance(picture, brighter, 10, true), 0);
  EXPECT_GT(SimilarScanService::grayDistance(picture, other, 10, true), 5);
}

}  // namespace
}  // namespace orvexa
