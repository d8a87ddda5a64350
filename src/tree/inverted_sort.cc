#include "orvexa/tree/inverted_sort.h"

#include <cstdio>

namespace orvexa {

int64_t InvertedSort::stringBinary2Dec(const std::string& num) {
  uint64_t value = 0;
  for (char c : num) {
    const uint64_t digit = (c >= '0' && c <= '9') ? static_cast<uint64_t>(c - '0') : 0;
    value = value * 2 + digit;
  }
  return static_cast<int64_t>(value);
}

void InvertedSort::buildIndex(const std::vector<SimilarNodePtr>& similarNodes) {
  for (const SimilarNodePtr& node : similarNodes) {
    const size_t part = node->fingerprint.size() / 4;
    for (size_t q = 0; q < 4; ++q) {
      std::string digits;
      for (size_t i = q * part; i < q * part + part; ++i) {
        digits += std::to_string(node->fingerprint[i]);
      }
      char key[32];
      std::snprintf(key, sizeof key, "%llx",
                    static_cast<unsigned long long>(stringBinary2Dec(digits)));
      hashDict[key].push_back(node);
      node->fingerIndex.emplace_back(key);
    }
  }
}

SimilarNodeMap<std::vector<SimilarNodePtr>> InvertedSort::search(
    const std::vector<SimilarNodePtr>& Nodes) const {
  SimilarNodeMap<std::vector<SimilarNodePtr>> result;
  for (const SimilarNodePtr& node : Nodes) {
    std::unordered_map<const SimilarNode*, int> votes;
    std::vector<SimilarNodePtr> seen;
    for (const std::string& key : node->fingerIndex) {
      auto listed = hashDict.find(key);
      if (listed == hashDict.end()) continue;
      for (const SimilarNodePtr& other : listed->second) {
        if (votes[other.get()]++ == 0) seen.push_back(other);
      }
    }
    std::vector<SimilarNodePtr> matches;
    for (const SimilarNodePtr& other : seen) {
      if (votes[other.get()] > 2) matches.push_back(other);
    }
    if (!matches.empty()) result[node] = std::move(matches);
  }
  return result;
}

}  // namespace orvexa
