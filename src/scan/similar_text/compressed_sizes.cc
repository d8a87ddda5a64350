#include "orvexa/scan/similar_text/compressed_sizes.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>

namespace orvexa {
namespace {

// One raw-deflate stream per thread, reset between uses: a stream costs
// about 256 KB to set up, more than compressing a short text.
class Deflater {
 public:
  Deflater() {
    ok_ = deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) ==
          Z_OK;
  }
  ~Deflater() {
    if (ok_) deflateEnd(&stream_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // The compressed size of `parts` in a row, after `dictionary`; -1 when zlib
  // fails.
  int64_t size(std::initializer_list<std::string_view> parts, std::string_view dictionary = {}) {
    if (!ok_ || deflateReset(&stream_) != Z_OK) return -1;
    if (!dictionary.empty() &&
        deflateSetDictionary(&stream_, reinterpret_cast<const Bytef*>(dictionary.data()),
                             static_cast<uInt>(dictionary.size())) != Z_OK) {
      return -1;
    }
    int64_t total = 0;
    const size_t count = parts.size();
    size_t index = 0;
    for (std::string_view part : parts) {
      const bool last = ++index == count;
      stream_.next_in = reinterpret_cast<const Bytef*>(part.data());
      stream_.avail_in = static_cast<uInt>(part.size());
      for (;;) {
        stream_.next_out = buffer_.data();
        stream_.avail_out = static_cast<uInt>(buffer_.size());
        const int rc = deflate(&stream_, last ? Z_FINISH : Z_NO_FLUSH);
        total += static_cast<int64_t>(buffer_.size() - stream_.avail_out);
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && rc != Z_BUF_ERROR) return -1;
        if (!last && stream_.avail_in == 0 && stream_.avail_out != 0) break;
      }
    }
    return total;
  }

 private:
  z_stream stream_{};
  bool ok_ = false;
  std::array<Bytef, 65536> buffer_{};
};

Deflater& deflater() {
  thread_local Deflater d;
  return d;
}

int32_t asSize(int64_t size) {
  if (size < 0 || size > std::numeric_limits<int32_t>::max()) return CompressedSizes::kNone;
  return static_cast<int32_t>(size);
}

int64_t singleSizeOf(std::string_view text) {
  if (text.empty()) return 0;
  return deflater().size({text});
}

// What `second` costs after `first`: chunk by chunk, each with the part of
// `first` at the same relative position as dictionary.
int64_t conditionalSize(std::string_view first, std::string_view second) {
  constexpr size_t kChunk = CompressedSizes::kChunkBytes;
  constexpr size_t kSlack = CompressedSizes::kChunkSlackBytes;
  int64_t total = 0;
  for (size_t start = 0; start < second.size(); start += kChunk) {
    const std::string_view chunk = second.substr(start, kChunk);
    const auto at =
        static_cast<size_t>(static_cast<double>(start) * static_cast<double>(first.size()) /
                            static_cast<double>(second.size()));
    const size_t from = at > kSlack ? at - kSlack : 0;
    const size_t to = std::min(first.size(), at + chunk.size() + kSlack);
    const int64_t size = deflater().size({chunk}, first.substr(from, to - from));
    if (size < 0) return -1;
    total += size;
  }
  return total;
}

// Text i followed by text j.
int64_t pairSizeOf(std::string_view first, std::string_view second, int32_t firstSize) {
  if (first.size() <= CompressedSizes::kWindowBytes) {
    if (first.empty() && second.empty()) return 0;
    return deflater().size({first, second});
  }
  if (firstSize < 0) return -1;
  const int64_t rest = conditionalSize(first, second);
  return rest < 0 ? -1 : firstSize + rest;
}

}  // namespace

CompressedSizes::CompressedSizes(size_t count) : count_(count), single_(count, kNone) {}

CompressedSizes::CompressedSizes(CompressedSizes&& other) noexcept
    : count_(other.count_),
      single_(std::move(other.single_)),
      pairs_(std::move(other.pairs_)),
      lock_(std::move(other.lock_)) {
  other.lock_ = std::make_unique<std::mutex>();
}

CompressedSizes& CompressedSizes::operator=(CompressedSizes&& other) noexcept {
  count_ = other.count_;
  single_ = std::move(other.single_);
  pairs_ = std::move(other.pairs_);
  std::swap(lock_, other.lock_);
  return *this;
}

int32_t CompressedSizes::pairSize(size_t i, size_t j) const {
  auto it = pairs_.find(key(i, j));
  return it == pairs_.end() ? kNone : it->second;
}

size_t CompressedSizes::measuredSingleSizes() const {
  return static_cast<size_t>(
      std::count_if(single_.begin(), single_.end(), [](int32_t s) { return s != kNone; }));
}

void CompressedSizes::measureSingle(const std::vector<std::string>& texts, size_t i) {
  single_[i] = asSize(singleSizeOf(texts[i]));
}

void CompressedSizes::measureRow(const std::vector<std::string>& texts, size_t i,
                                 const std::function<bool()>& shouldStop) {
  measureSingle(texts, i);
  std::vector<std::pair<uint64_t, int32_t>> row;
  row.reserve(count_);
  for (size_t j = 0; j < count_; ++j) {
    if (shouldStop && shouldStop()) break;
    row.emplace_back(key(i, j), asSize(pairSizeOf(texts[i], texts[j], single_[i])));
  }
  std::lock_guard guard(*lock_);
  for (const auto& [k, size] : row) pairs_[k] = size;
}

bool CompressedSizes::measurePair(const std::vector<std::string>& texts, size_t i, size_t j,
                                  int keepPercent) {
  const int32_t a = single_[i];
  const int32_t b = single_[j];
  if (keepPercent >= 0 && (a <= 0 || b <= 0)) return false;
  const int32_t ab = asSize(pairSizeOf(texts[i], texts[j], a));
  const int32_t ba = asSize(pairSizeOf(texts[j], texts[i], b));
  if (keepPercent >= 0) {
    std::optional<Terms> t = termsOf(a, b, ab, ba);
    if (!t || (t->pair - t->smaller) * 100 > t->larger * int64_t{keepPercent}) return false;
  }
  std::lock_guard guard(*lock_);
  pairs_[key(i, j)] = ab;
  pairs_[key(j, i)] = ba;
  return true;
}

std::optional<CompressedSizes::Terms> CompressedSizes::termsOf(int32_t a, int32_t b, int32_t ab,
                                                               int32_t ba) {
  if (a <= 0 || b <= 0 || ab == kNone || ba == kNone) return std::nullopt;
  return Terms{std::min(ab, ba), std::min(a, b), std::max(a, b)};
}

std::optional<CompressedSizes::Terms> CompressedSizes::terms(size_t i, size_t j) const {
  return termsOf(single_[i], single_[j], pairSize(i, j), pairSize(j, i));
}

std::optional<double> CompressedSizes::distance(size_t i, size_t j) const {
  std::optional<Terms> t = terms(i, j);
  if (!t) return std::nullopt;
  return static_cast<double>(std::max<int64_t>(t->pair - t->smaller, 0)) /
         static_cast<double>(t->larger);
}

bool CompressedSizes::isWithin(size_t i, size_t j, int percent) const {
  if (percent < 0) return false;
  std::optional<Terms> t = terms(i, j);
  if (!t) return false;
  return (t->pair - t->smaller) * 100 <= t->larger * int64_t{percent};
}

std::vector<std::pair<size_t, size_t>> CompressedSizes::measuredPairs() const {
  std::vector<std::pair<size_t, size_t>> out;
  for (const auto& entry : pairs_) {
    const size_t i = static_cast<size_t>(entry.first / count_);
    const size_t j = static_cast<size_t>(entry.first % count_);
    if (i < j && pairs_.count(key(j, i)) != 0) out.emplace_back(i, j);
  }
  return out;
}

}  // namespace orvexa
