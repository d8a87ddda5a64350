// InvertedSort: an inverted index from quarter-fingerprint keys to nodes.
// Each fingerprint is cut into four equal parts; a part's key is the
// lower-case hexadecimal of the number its bits spell (the key does not say
// which quarter it came from). A node matches every node listed under at
// least three of its four keys, itself included.
//
// Thread-safety: none; one task builds and searches an index.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "orvexa/tree/similar_node.h"

namespace orvexa {

class InvertedSort {
 public:
  std::unordered_map<std::string, std::vector<SimilarNodePtr>> hashDict;

  // Files every node under its four quarter keys and appends the keys to
  // the node's fingerIndex.
  void buildIndex(const std::vector<SimilarNodePtr>& similarNodes);

  // For each node of `Nodes`, the nodes (in first-seen order) that its keys
  // list more than twice in total. Nodes without such a node get no entry.
  SimilarNodeMap<std::vector<SimilarNodePtr>> search(
      const std::vector<SimilarNodePtr>& Nodes) const;

  // The number the decimal digits of `num` spell in base 2 (value = value *
  // 2 + digit, wrapping around on overflow); a character that is not a digit
  // adds 0.
  static int64_t stringBinary2Dec(const std::string& num);
};

}  // namespace orvexa
