#include "orvexa/tree/similar_node.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <utility>

namespace orvexa {
namespace {

void mix(size_t& seed, size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

void mixList(size_t& seed, const std::vector<int>& list) {
  mix(seed, list.size());
  for (int v : list) mix(seed, std::hash<int>()(v));
}

}  // namespace

size_t SimilarNodeHash::operator()(const SimilarNodePtr& node) const {
  return node ? node->hashValue() : 0;
}

bool SimilarNodeEqual::operator()(const SimilarNodePtr& a, const SimilarNodePtr& b) const {
  if (!a || !b) return a == b;
  return a == b || *a == *b;
}

SimilarNode::SimilarNode(Url pictureUrl, std::string key, std::vector<int> bits,
                         std::vector<int> gray, std::vector<int> mean)
    : url(std::move(pictureUrl)),
      name(std::move(key)),
      fingerprint(std::move(bits)),
      grayData(std::move(gray)),
      meanData(std::move(mean)) {}

size_t SimilarNode::hashValue() const {
  size_t seed = 0;
  mixList(seed, grayData);
  mixList(seed, fingerprint);
  mix(seed, std::hash<Url>()(url));
  mix(seed, std::hash<std::string>()(name));
  return seed;
}

int SimilarNode::calculateHamming(const std::vector<int>& pic1, const std::vector<int>& pic2) {
  int distance = 0;
  const size_t n = std::min(pic1.size(), pic2.size());
  for (size_t i = 0; i < n; ++i) {
    if (pic1[i] != pic2[i]) ++distance;
  }
  return distance;
}

void SimilarNode::addChildren(const SimilarNodePtr& childrenNode, bool& isSameItem) {
  SimilarNode* at = this;
  // Walks down iteratively: a tree of many nodes may be deep.
  while (true) {
    const int d = calculateHamming(childrenNode->fingerprint, at->fingerprint);
    if (d == 0) {
      at->childrens.push_back(childrenNode);
      isSameItem = true;
      return;
    }
    auto edge = at->childrenDict.find(d);
    if (edge == at->childrenDict.end()) {
      at->childrenDict.emplace(d, childrenNode);
      return;
    }
    at = edge->second.get();
  }
}

void SimilarNode::search(const SimilarNode& node, int threshold, SimilarNodeSet& results) {
  const int d = calculateHamming(node.fingerprint, fingerprint);
  if (d <= threshold && !similarHadChoose) {
    for (const SimilarNodePtr& same : childrens) {
      same->similarHadChoose = true;
      results.insert(same);
    }
    results.insert(shared_from_this());
    similarHadChoose = true;
  }
  const int lower = std::abs(d - threshold) > 1 ? std::abs(d - threshold) : 1;
  const int upper = d + threshold;
  for (int k = lower; k <= upper; ++k) {
    auto edge = childrenDict.find(k);
    if (edge != childrenDict.end()) edge->second->search(node, threshold, results);
  }
}

void SimilarNode::searchDuplicate(const SimilarNode& node, SimilarNodeSet& results) {
  SimilarNode* at = this;
  while (true) {
    const int d = calculateHamming(node.fingerprint, at->fingerprint);
    if (d == 0) {
      if (!at->duplicateHadChoose) {
        for (const SimilarNodePtr& same : at->childrens) {
          same->duplicateHadChoose = true;
          results.insert(same);
        }
        results.insert(at->shared_from_this());
        at->duplicateHadChoose = true;
      }
      return;
    }
    auto edge = at->childrenDict.find(d);
    if (edge == at->childrenDict.end()) return;
    at = edge->second.get();
  }
}

}  // namespace orvexa
