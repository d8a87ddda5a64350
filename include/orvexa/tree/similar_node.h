// SimilarNode: one picture of a similar-image scan, with its fingerprint (a
// list of 0/1 values compared by Hamming distance), its thumbnail gray and
// mean lists, and the bookkeeping the search structures hang on it. A node is
// also a BK-tree node: its children, one per distance, hang in childrenDict,
// and later nodes with an identical fingerprint ride along in `childrens`.
//
// Identity: nodes are equal when grayData, url and name are; the hash mixes
// grayData, fingerprint, url and name. Sets and maps of nodes hold them
// through shared pointers with SimilarNodeHash / SimilarNodeEqual.
//
// Ownership: a node owns its tree children (shared_ptr down; no upward
// links). Nodes must be held by shared_ptr (search inserts the node itself
// into result sets).
//
// Thread-safety: none. A node and its tree are built and queried by one task
// at a time.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "orvexa/platform/url.h"

namespace orvexa {

class SimilarNode;
using SimilarNodePtr = std::shared_ptr<SimilarNode>;

struct SimilarNodeHash {
  size_t operator()(const SimilarNodePtr& node) const;
};
struct SimilarNodeEqual {
  bool operator()(const SimilarNodePtr& a, const SimilarNodePtr& b) const;
};
using SimilarNodeSet = std::unordered_set<SimilarNodePtr, SimilarNodeHash, SimilarNodeEqual>;
template <typename V>
using SimilarNodeMap = std::unordered_map<SimilarNodePtr, V, SimilarNodeHash, SimilarNodeEqual>;

class SimilarNode : public std::enable_shared_from_this<SimilarNode> {
 public:
  SimilarNode(Url url, std::string name, std::vector<int> fingerprint, std::vector<int> grayData,
              std::vector<int> meanData);

  Url url;
  // The scan's key for the picture; unique per node within one scan.
  std::string name;
  std::vector<int> fingerprint;
  std::vector<int> grayData;
  std::vector<int> meanData;
  // Set once the node is in a group of near matches / of exact matches.
  bool similarHadChoose = false;
  bool duplicateHadChoose = false;
  // BK-tree children by distance (never 0).
  std::map<int, SimilarNodePtr> childrenDict;
  // Nodes inserted later with an identical fingerprint.
  std::vector<SimilarNodePtr> childrens;
  // Band keys of the inverted index and the fingerprint cut into bands.
  std::vector<std::string> fingerIndex;
  std::vector<std::vector<int>> cutArray;

  // The number of positions i < pic1.size() where the lists differ (pic2
  // must be at least as long).
  static int calculateHamming(const std::vector<int>& pic1, const std::vector<int>& pic2);

  // Inserts `childrenNode` into the tree rooted here. An identical
  // fingerprint is appended to `childrens` of the first node that had it and
  // sets isSameItem; otherwise the node hangs under the first free distance
  // edge on its way down.
  void addChildren(const SimilarNodePtr& childrenNode, bool& isSameItem);

  // Near matches of `node` within `threshold` in the tree rooted here. A
  // node within the threshold that is not yet grouped joins `results` with
  // its identical riders, and is marked grouped; children are visited along
  // edges max(1, |d - t|) .. d + t in increasing order (none when d = t = 0).
  void search(const SimilarNode& node, int threshold, SimilarNodeSet& results);

  // Exact matches: the first node at distance 0 (if not yet in an exact
  // group) joins with its riders; otherwise only the edge labelled d is
  // followed.
  void searchDuplicate(const SimilarNode& node, SimilarNodeSet& results);

  // Mixes grayData, fingerprint, url and name. Equality leaves the
  // fingerprint out: the scan makes a node's lists from one decoded picture
  // and its name is unique per scan, so equal nodes have equal fingerprints
  // and the hash stays consistent with equality. Nodes built by hand with
  // different fingerprints but the same other fields break that.
  size_t hashValue() const;
  friend bool operator==(const SimilarNode& a, const SimilarNode& b) {
    return a.grayData == b.grayData && a.url == b.url && a.name == b.name;
  }
};

}  // namespace orvexa
