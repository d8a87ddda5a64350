// The gray check with and without the pictures' mean levels: a uniformly
// brightened copy passes only when brightness is ignored; a different
// picture fails either way.
#include <gtest/gtest.h>

#include <vector>

#include "orvexa/scan/similar_image/similar_scan_service.h"

namespace orvexa {
namespace {

TEST(IgnoreBrightnessTest, MeanLevelsAreTakenOutOnlyWhenAsked) {
  std::vector<int> picture;
  for (int i = 0; i < 42; ++i) picture.push_back(40 + (i * 37) % 150);
  std::vector<int> brighter = picture;
  for (int& v : brighter) v += 25;
  std::vector<int> other = picture;
  for (int i = 0; i < 42; i += 3)
    other[static_cast<size_t>(i)] = 255 - other[static_cast<size_t>(i)];
  const struct {
    const char* name;
    const std::vector<int>& copy;
    bool ignoreMean;
    bool alike;
  } cases[] = {{"brightened, levels as they are", brighter, false, false},
               {"brightened, means taken out", brighter, true, true},
               {"different, means taken out", other, true, false}};
  for (const auto& c : cases) {
    const int distance = SimilarScanService::grayDistance(picture, c.copy, 10, c.ignoreMean);
    EXPECT_EQ(distance <= 5, c.alike) << c.name << ": " << distance;
  }
}

}  // namespace
}  // namespace orvexa
