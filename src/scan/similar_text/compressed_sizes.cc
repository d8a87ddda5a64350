#include "orvexa/scan/similar_text/compressed_sizes.h"

#include <algorithm>
#include <limits>

#include "orvexa/units/gzip.h"

namespace orvexa {
namespace {

// gzipped(bytes).size() as a table entry; kNone when zlib fails or the size
// does not fit.
int32_t compressedSize(const Data& bytes) {
  try {
    size_t size = gzipped(bytes).size();
    if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
      return CompressedSizes::kNone;
    }
    return static_cast<int32_t>(size);
  } catch (const GzipError&) {
    return CompressedSizes::kNone;
  }
}

}  // namespace

CompressedSizes::CompressedSizes(size_t count)
    : count_(count), single_(count, kNone), pairs_(count * count, kNone) {}

size_t CompressedSizes::measuredSingleSizes() const {
  return static_cast<size_t>(
      std::count_if(single_.begin(), single_.end(), [](int32_t s) { return s != kNone; }));
}

size_t CompressedSizes::measuredPairSizes() const {
  return static_cast<size_t>(
      std::count_if(pairs_.begin(), pairs_.end(), [](int32_t s) { return s != kNone; }));
}

void CompressedSizes::measureRow(const std::vector<std::string>& texts, size_t i,
                                 const std::function<bool()>& shouldStop) {
  const std::string& first = texts[i];
  // One buffer for the row: text i, then text j appended behind it.
  Data bytes(first.begin(), first.end());
  single_[i] = compressedSize(bytes);
  for (size_t j = 0; j < count_; ++j) {
    if (shouldStop && shouldStop()) return;
    bytes.resize(first.size());
    bytes.insert(bytes.end(), texts[j].begin(), texts[j].end());
    pairs_[i * count_ + j] = compressedSize(bytes);
  }
}

std::optional<CompressedSizes::Terms> CompressedSizes::terms(size_t i, size_t j) const {
  const int32_t a = single_[i];
  const int32_t b = single_[j];
  const int32_t ab = pairs_[i * count_ + j];
  const int32_t ba = pairs_[j * count_ + i];
  if (a <= 0 || b <= 0 || ab == kNone || ba == kNone) return std::nullopt;
  return Terms{std::min(ab, ba), std::min(a, b), std::max(a, b)};
}

std::optional<double> CompressedSizes::distance(size_t i, size_t j) const {
  std::optional<Terms> t = terms(i, j);
  if (!t) return std::nullopt;
  return static_cast<double>(t->pair - t->smaller) / static_cast<double>(t->larger);
}

bool CompressedSizes::isWithin(size_t i, size_t j, int percent) const {
  if (percent < 0) return false;
  std::optional<Terms> t = terms(i, j);
  if (!t) return false;
  return (t->pair - t->smaller) * 100 <= t->larger * int64_t{percent};
}

}  // namespace orvexa
