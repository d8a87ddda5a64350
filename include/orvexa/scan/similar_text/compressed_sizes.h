// CompressedSizes: the measurements the similar-document scan compares texts
// by. For n texts (in the scan's sorted order) it holds the compressed size
// of each text (the single sizes) and of the ordered pairs that were measured,
// text i followed by text j (the pair sizes).
//
// Sizes are deflate's output without gzip's 18 bytes of header and trailer
// (default level, 32 KiB window): the constant would otherwise weigh as much
// as a short text and pull unrelated short texts together.
//
// Long texts: deflate refers back at most 32 KiB, so once the first text of a
// pair is longer than kWindowBytes the second could no longer refer to the
// matching part of the first, and two copies of one long text would come out
// unrelated. For such a pair the size is the size of text i plus what text j
// costs given text i, measured in aligned chunks: j is cut into chunks of
// kChunkBytes, and each chunk is compressed with, as deflate's preset
// dictionary, the 32 KiB of text i around the same relative position
// (kChunkSlackBytes before it, the chunk's length plus the slack after it).
// Insertions and deletions that shift the text by less than the slack keep
// each chunk in sight of its counterpart, so identical and lightly edited long
// texts measure as close as short ones; the sum over the chunks stands in for
// the size of the concatenation, and the distance below is computed the same
// way for both.
//
// Memory: the single sizes, and one entry per measured pair; which pairs are
// measured, and which are kept, is the caller's choice (measurePair keeps
// only the pairs within a threshold), so nothing grows with n * n unless every
// pair is asked for.
//
// Distance: the normalised compression distance of two texts,
//   (C(i + j) - min(C(i), C(j))) / max(C(i), C(j)),
// with C(i + j) the smaller of the two ordered pair sizes: near 0 for texts
// that are almost the same, near 1 for unrelated texts.
//
// Thread-safety: measureSingle for different texts, and measureRow and
// measurePair for any pairs, may run at the same time (pair sizes are stored
// under a lock, after the single sizes they read were measured); reading
// sizes and distances must not race with measuring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orvexa {

class CompressedSizes {
 public:
  // A size that was not measured: the pair was not reached, not kept, or the
  // text could not be compressed or is too large to count.
  static constexpr int32_t kNone = -1;
  static constexpr size_t kWindowBytes = 32768 - 262;  // deflate's reach back
  static constexpr size_t kChunkBytes = 16384;
  static constexpr size_t kChunkSlackBytes = 8192;

  explicit CompressedSizes(size_t count);
  CompressedSizes(CompressedSizes&& other) noexcept;
  CompressedSizes& operator=(CompressedSizes&& other) noexcept;

  size_t count() const { return count_; }
  int32_t singleSize(size_t i) const { return single_[i]; }
  // The size of text i followed by text j, or kNone.
  int32_t pairSize(size_t i, size_t j) const;
  // Sizes measured so far: single sizes, and ordered pair sizes kept.
  size_t measuredSingleSizes() const;
  size_t measuredPairSizes() const { return pairs_.size(); }

  // Measures text i alone. An empty text has size 0.
  void measureSingle(const std::vector<std::string>& texts, size_t i);
  // Measures text i alone and text i followed by every text j (j = 0..n-1),
  // keeping every size. `shouldStop`, asked between pairs, ends the row
  // early; what was not measured stays kNone.
  void measureRow(const std::vector<std::string>& texts, size_t i,
                  const std::function<bool()>& shouldStop = {});
  // Measures both orders of the pair (i, j) (their single sizes must have
  // been measured) and keeps them when `keepPercent` is below 0 or the pair
  // lies within keepPercent. True when kept.
  bool measurePair(const std::vector<std::string>& texts, size_t i, size_t j, int keepPercent);

  // The distance of texts i and j; nothing when a size is missing or either
  // text is empty (an empty text is like nothing, not like everything).
  std::optional<double> distance(size_t i, size_t j) const;
  // distance(i, j) <= percent / 100, decided exactly in integers.
  bool isWithin(size_t i, size_t j, int percent) const;
  // Every pair i < j with both orders measured, in no particular order.
  std::vector<std::pair<size_t, size_t>> measuredPairs() const;

 private:
  struct Terms {
    int64_t pair;
    int64_t smaller;
    int64_t larger;
  };
  std::optional<Terms> terms(size_t i, size_t j) const;
  static std::optional<Terms> termsOf(int32_t a, int32_t b, int32_t ab, int32_t ba);
  uint64_t key(size_t i, size_t j) const { return uint64_t{i} * count_ + j; }

  size_t count_;
  std::vector<int32_t> single_;
  std::unordered_map<uint64_t, int32_t> pairs_;  // key(i, j)
  std::unique_ptr<std::mutex> lock_ = std::make_unique<std::mutex>();
};

}  // namespace orvexa
