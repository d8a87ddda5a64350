// CompressedSizes: the measurements the similar-document scan compares texts
// by. For n texts (in the scan's sorted order) it holds the gzip-compressed
// size of each text (the single sizes) and of each ordered pair, text i
// followed by text j, i == j included (the pair sizes, under i * n + j).
//
// Memory: every size is a 32-bit count in one flat array, so the n * n pair
// sizes of 3,000 documents take 36 MB and of 10,000 documents 400 MB. Both
// orders of a pair are kept because they compress differently and the
// distance uses the smaller; nothing else per pair is kept.
//
// Distance: the normalised compression distance of two texts,
//   (C(i + j) - min(C(i), C(j))) / max(C(i), C(j)),
// with C(i + j) the smaller of the two ordered pair sizes: near 0 for texts
// that are almost the same, near 1 for unrelated texts. Two limits of gzip
// show through:
// - It only sees what deflate's 32 KiB window sees: once the first text is
//   longer than about 32 KB, the second can no longer refer back to its start,
//   so even two copies of one long text come out near 1.
// - Every size includes 18 bytes of gzip header and trailer, which the pair
//   pays once and the divisor once: for texts of a few words that pulls the
//   distance of unrelated texts down to 0.2-0.4 ("Hello" and "World": 0.2).
//
// Thread-safety: measureRow may run for different rows at the same time (each
// row writes only its own entries); everything else must not race with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvexa {

class CompressedSizes {
 public:
  // A size that was not measured: the row was not reached (the scan was
  // stopped), or the text could not be compressed or is too large to count.
  static constexpr int32_t kNone = -1;

  explicit CompressedSizes(size_t count);

  size_t count() const { return count_; }
  int32_t singleSize(size_t i) const { return single_[i]; }
  // The size of text i followed by text j.
  int32_t pairSize(size_t i, size_t j) const { return pairs_[i * count_ + j]; }
  // Sizes measured so far: single sizes, and pair sizes (of the n * n).
  size_t measuredSingleSizes() const;
  size_t measuredPairSizes() const;

  // Measures text i alone and text i followed by every text j (j = 0..n-1),
  // with gzipped() at the default level and window. An empty text has size 0
  // (gzipped gives no bytes for it). `shouldStop`, asked between pairs, ends
  // the row early; what was not measured stays kNone.
  void measureRow(const std::vector<std::string>& texts, size_t i,
                  const std::function<bool()>& shouldStop = {});

  // The distance of texts i and j; nothing when a size is missing or either
  // text is empty (an empty text is like nothing, not like everything).
  std::optional<double> distance(size_t i, size_t j) const;
  // distance(i, j) <= percent / 100, decided exactly in integers.
  bool isWithin(size_t i, size_t j, int percent) const;

 private:
  // The three sizes the distance needs, or nothing.
  struct Terms {
    int64_t pair;
    int64_t smaller;
    int64_t larger;
  };
  std::optional<Terms> terms(size_t i, size_t j) const;

  size_t count_;
  std::vector<int32_t> single_;
  std::vector<int32_t> pairs_;  // i * count_ + j
};

}  // namespace orvexa
