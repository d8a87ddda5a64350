// Candidate pairs for the similar-document scan: which pairs of texts are
// worth measuring by compression at all.
//
// Measuring every pair by compression costs time in the square of the number
// of documents (about 2 ms of one core per pair of 20 KB texts: hours for a
// folder of 5,000 documents). So beyond kExhaustiveLimit documents the scan
// deliberately measures only candidate pairs: each text becomes a MinHash
// signature over its word shingles, and two texts are candidates when all the
// rows of at least one LSH band of their signatures agree and their
// signatures agree on at least kMinSignatureAgreement of the hashes (an
// estimate of the Jaccard similarity of their shingle sets). Texts that
// compress together well enough to be grouped share most of their word
// sequences, so they are found; unrelated texts share almost none, so the
// work grows with the number of documents and of candidates, not with its
// square. Up to kExhaustiveLimit documents (or when the host asks for it) the
// scan measures every pair as before.
//
// Shingles: kShingleWords consecutive words, a word being a run of letters
// and digits (ASCII folded to lower case; every byte of a multi-byte UTF-8
// character counts as a letter). A text of fewer words has the one shingle
// of all its words; a text without words has no signature and no candidates.
//
// Bands: kBands bands of kRowsPerBand hashes. A pair whose shingle sets have
// Jaccard similarity s is a candidate with probability 1 - (1 - s^2)^40:
// 0.98 at s = 0.3, 0.33 at s = 0.1, 0.004 at s = 0.01. A bucket of many
// texts (the same boilerplate everywhere) gives each member the pairs with
// the kBucketNeighbours members after it in the bucket, not all pairs: the
// members of a group of identical texts are then still linked through a
// chain.
//
// Thread-safety: signatureOf is pure and may run on any threads at once;
// candidatePairs reads the signatures it is given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace orvexa {

inline constexpr size_t kExhaustiveLimit = 200;
inline constexpr size_t kShingleWords = 4;
inline constexpr size_t kBands = 40;
inline constexpr size_t kRowsPerBand = 2;
inline constexpr size_t kSignatureHashes = kBands * kRowsPerBand;
inline constexpr double kMinSignatureAgreement = 0.1;
inline constexpr size_t kBucketNeighbours = 64;

struct MinHashSignature {
  bool empty = true;  // the text has no words
  std::array<uint32_t, kSignatureHashes> hashes{};
};

MinHashSignature signatureOf(std::string_view text);

// The share of hashes two signatures agree on (0 when either is empty).
double signatureAgreement(const MinHashSignature& a, const MinHashSignature& b);

// The candidate pairs (i < j), sorted, without repeats.
std::vector<std::pair<uint32_t, uint32_t>> candidatePairs(
    const std::vector<MinHashSignature>& signatures);

}  // namespace orvexa
