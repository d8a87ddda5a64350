// Nodes and fingerprints for the tests of the similarity trees.
#pragma once

#include <initializer_list>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "orvexa/tree/similar_node.h"

namespace orvexa::testing {

inline std::vector<int> randomBits(std::mt19937& random, size_t count = 36) {
  std::vector<int> bits(count);
  for (int& b : bits) b = static_cast<int>(random() & 1u);
  return bits;
}

inline std::vector<int> flipped(std::vector<int> bits, std::initializer_list<size_t> positions) {
  for (size_t p : positions) bits[p] ^= 1;
  return bits;
}

// A node named "/p/<name>" for the picture "/p/<name>.jpg".
inline SimilarNodePtr makeNode(const std::string& name, std::vector<int> fingerprint) {
  return std::make_shared<SimilarNode>(Url::fromPath("/p/" + name + ".jpg", false), "/p/" + name,
                                       std::move(fingerprint), std::vector<int>{},
                                       std::vector<int>{});
}

template <typename Nodes>
std::set<std::string> namesOf(const Nodes& nodes) {
  std::set<std::string> names;
  for (const SimilarNodePtr& n : nodes) names.insert(n->name);
  return names;
}

}  // namespace orvexa::testing
