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

// Neighbours nearly level swap their order in a brighter copy (rounding):
// every bit flips, none counts. Steps that truly reverse all count, 6 per
// row (no pair across rows).
TEST(IgnoreBrightnessTest, OnlyFingerprintBitsBehindRealStepsCount) {
  std::vector<int> level, brighter, steps, reversed;
  for (int i = 0; i < 42; ++i) {
    level.push_back(100 + i % 2);
    brighter.push_back(126 - i % 2);
    steps.push_back(100 + 20 * (i % 2));
    reversed.push_back(120 - 20 * (i % 2));
  }
  EXPECT_EQ(SimilarScanService::brightnessFreeDistance(level, brighter), 0);
  EXPECT_EQ(SimilarScanService::brightnessFreeDistance(steps, reversed), 36);
}

}  // namespace
}  // namespace orvexa
