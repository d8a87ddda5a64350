#include "orvexa/tree/bk_tree_service.h"

#include <cstdint>
#include <cstdlib>

#include "orvexa/tree/inverted_sort.h"

namespace orvexa {
namespace {

std::string lowerHex(int64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  uint64_t v = static_cast<uint64_t>(value);
  std::string out;
  do {
    out.insert(out.begin(), kDigits[v % 16]);
    v /= 16;
  } while (v != 0);
  return out;
}

int average(int64_t sum, int64_t count) { return count == 0 ? 0 : static_cast<int>(sum / count); }

}  // namespace

bool BKTreeService::put(const SimilarNodePtr& node) {
  bool isSameItem = false;
  if (!root) {
    root = node;
  } else {
    root->addChildren(node, isSameItem);
  }
  return isSameItem;
}

std::string BKTreeService::getHashString(const std::vector<int>& fingerprint) {
  std::string out;
  for (size_t group = 0; group < fingerprint.size() / 4; ++group) {
    std::string digits;
    for (size_t k = 0; k < 4; ++k) digits += std::to_string(fingerprint[group * 4 + k]);
    out += lowerHex(InvertedSort::stringBinary2Dec(digits));
  }
  return out;
}

int BKTreeService::calculateGrayHamming(const std::vector<int>& pic1, const std::vector<int>& pic2,
                                        int thresold) {
  int count = 0;
  const size_t n = std::min(pic1.size(), pic2.size());
  for (size_t i = 0; i < n; ++i) {
    if (pic1[i] != pic2[i] && std::abs(pic1[i] - pic2[i]) > thresold) ++count;
  }
  return count;
}

std::tuple<int, int, int> BKTreeService::calculateMean(const std::vector<int>& pic1,
                                                       const std::vector<int>& pic2) {
  int64_t sum1 = 0;
  int64_t sum2 = 0;
  for (int v : pic1) sum1 += v;
  for (int v : pic2) sum2 += v;
  const int mean1 = average(sum1, static_cast<int64_t>(pic1.size()));
  const int mean2 = average(sum2, static_cast<int64_t>(pic2.size()));
  return {std::abs(mean1 - mean2), mean1, mean2};
}

std::tuple<int, int, int> BKTreeService::calculateLeft(const std::vector<int>& pic1,
                                                       const std::vector<int>& pic2, int width,
                                                       int height) {
  if (width <= 0 || height <= 0) return {0, 0, 0};
  int64_t sum1 = 0;
  int64_t sum2 = 0;
  for (int i = 0; i < width; ++i) {
    for (int j = 0; j < height; ++j) {
      const size_t index =
          static_cast<size_t>(i) * static_cast<size_t>(width) + static_cast<size_t>(j);
      if (index < pic1.size()) sum1 += pic1[index];
      if (index < pic2.size()) sum2 += pic2[index];
    }
  }
  const int64_t area = static_cast<int64_t>(width) * height;
  const int mean1 = average(sum1, area);
  const int mean2 = average(sum2, area);
  return {std::abs(mean1 - mean2), mean1, mean2};
}

}  // namespace orvexa
