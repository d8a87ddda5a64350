#include "orvexa/scan/similar_text/document_candidates.h"

#include <algorithm>

namespace orvexa {
namespace {

// splitmix64's finaliser: a good mix of 64 bits.
uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

bool isWordByte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
}

// FNV-1a of the words of `text`, one per word.
std::vector<uint64_t> wordHashes(std::string_view text) {
  std::vector<uint64_t> words;
  uint64_t h = 0;
  bool inWord = false;
  for (const char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (isWordByte(c)) {
      if (!inWord) h = 0xCBF29CE484222325ull;
      inWord = true;
      if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
      h = (h ^ c) * 0x100000001B3ull;
    } else if (inWord) {
      words.push_back(h);
      inWord = false;
    }
  }
  if (inWord) words.push_back(h);
  return words;
}

}  // namespace

MinHashSignature signatureOf(std::string_view text) {
  MinHashSignature sig;
  const std::vector<uint64_t> words = wordHashes(text);
  if (words.empty()) return sig;
  sig.empty = false;
  sig.hashes.fill(UINT32_MAX);
  const size_t shingles = words.size() >= kShingleWords ? words.size() - kShingleWords + 1 : 1;
  const size_t width = std::min(words.size(), kShingleWords);
  std::array<uint64_t, kSignatureHashes> minima;
  minima.fill(UINT64_MAX);
  for (size_t s = 0; s < shingles; ++s) {
    uint64_t shingle = 0;
    for (size_t w = 0; w < width; ++w) shingle = mix(shingle ^ words[s + w]);
    // Hash k of a shingle: two independent hashes combined (Kirsch and
    // Mitzenmacher), which is as good for MinHash as k independent ones.
    const uint64_t h1 = shingle;
    const uint64_t h2 = mix(shingle) | 1;
    for (size_t k = 0; k < kSignatureHashes; ++k) {
      const uint64_t v = h1 + k * h2;
      if (v < minima[k]) minima[k] = v;
    }
  }
  for (size_t k = 0; k < kSignatureHashes; ++k)
    sig.hashes[k] = static_cast<uint32_t>(mix(minima[k]));
  return sig;
}

double signatureAgreement(const MinHashSignature& a, const MinHashSignature& b) {
  if (a.empty || b.empty) return 0;
  size_t same = 0;
  for (size_t k = 0; k < kSignatureHashes; ++k)
    same += a.hashes[k] == b.hashes[k] ? size_t{1} : size_t{0};
  return static_cast<double>(same) / static_cast<double>(kSignatureHashes);
}

std::vector<std::pair<uint32_t, uint32_t>> candidatePairs(
    const std::vector<MinHashSignature>& signatures) {
  std::vector<uint64_t> pairs;                        // i << 32 | j, i < j
  std::vector<std::pair<uint64_t, uint32_t>> bucket;  // band key, document
  bucket.reserve(signatures.size());
  for (size_t band = 0; band < kBands; ++band) {
    bucket.clear();
    for (size_t d = 0; d < signatures.size(); ++d) {
      if (signatures[d].empty) continue;
      uint64_t key = band;
      for (size_t r = 0; r < kRowsPerBand; ++r) {
        key = mix(key ^ signatures[d].hashes[band * kRowsPerBand + r]);
      }
      bucket.emplace_back(key, static_cast<uint32_t>(d));
    }
    std::sort(bucket.begin(), bucket.end());
    for (size_t a = 0; a < bucket.size();) {
      size_t end = a;
      while (end < bucket.size() && bucket[end].first == bucket[a].first) ++end;
      for (size_t x = a; x < end; ++x) {
        for (size_t y = x + 1; y < end && y <= x + kBucketNeighbours; ++y) {
          const uint64_t i = bucket[x].second;
          const uint64_t j = bucket[y].second;
          if (signatureAgreement(signatures[i], signatures[j]) < kMinSignatureAgreement) continue;
          pairs.push_back(i < j ? (i << 32 | j) : (j << 32 | i));
        }
      }
      a = end;
    }
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  std::vector<std::pair<uint32_t, uint32_t>> out;
  out.reserve(pairs.size());
  for (uint64_t p : pairs)
    out.emplace_back(static_cast<uint32_t>(p >> 32), static_cast<uint32_t>(p));
  return out;
}

}  // namespace orvexa
