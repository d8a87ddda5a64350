// BKTreeService: a BK-tree (metric tree under the Hamming distance) whose
// nodes are the SimilarNode records themselves; near and exact matches are
// queried on the root (SimilarNode::search / searchDuplicate). Also the home
// of the small fingerprint and gray-list utilities.
//
// Thread-safety: none for the tree (one task builds and queries it); the
// class-level utilities are pure functions.
#pragma once

#include <string>
#include <tuple>
#include <vector>

#include "orvexa/tree/similar_node.h"

namespace orvexa {

class BKTreeService {
 public:
  SimilarNodePtr root;
  int count = 0;  // not changed by put

  // Inserts the node (it becomes the root of an empty tree). True when its
  // fingerprint equals that of a node already in the tree: it then rides
  // along with that node instead of becoming a tree child.
  bool put(const SimilarNodePtr& node);

  // Lower-case hexadecimal, one digit per complete group of four entries,
  // the first entry of a group the most significant bit ("a1" for
  // 1,0,1,0,0,0,0,1); entries after the last complete group are dropped.
  static std::string getHashString(const std::vector<int>& fingerprint);

  // The number of positions i < pic1.size() where the values differ by more
  // than `thresold` (with 0, the Hamming distance of two fingerprints).
  // pic2 must be at least as long as pic1.
  static int calculateGrayHamming(const std::vector<int>& pic1, const std::vector<int>& pic2,
                                  int thresold);

  // (|mean1 - mean2|, mean1, mean2) with each mean the integer quotient of
  // the list's sum by its length (0 for an empty list).
  static std::tuple<int, int, int> calculateMean(const std::vector<int>& pic1,
                                                 const std::vector<int>& pic2);

  // As calculateMean over the entries i * width + j for i < width and
  // j < height, divided by width * height (entries past a list's end count
  // as 0). A zero area gives (0, 0, 0).
  static std::tuple<int, int, int> calculateLeft(const std::vector<int>& pic1,
                                                 const std::vector<int>& pic2, int width,
                                                 int height);
};

}  // namespace orvexa
