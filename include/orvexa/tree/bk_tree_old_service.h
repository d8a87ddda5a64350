// OldBKTreeService: a BK-tree over bare fingerprints and names, used as the
// exhaustive grouping pass of small similar-image scans. Identical
// fingerprints collect their names in one node (`sameName`); a query returns
// the names of every not-yet-returned node within the threshold and marks
// those nodes, so a name is returned by one query at most.
//
// Ownership: the tree owns its nodes. Thread-safety: none (one task builds
// and queries a tree).
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace orvexa {

class OldBKTreeService {
 public:
  class Node {
   public:
    Node(std::vector<int> term, std::string nodeName);

    std::vector<int> value;
    std::string name;
    std::vector<std::string> sameName;
    std::map<int, std::unique_ptr<Node>> children;
    bool hasChoose = false;

    // Distance 0: the name joins sameName unless this node's own name
    // contains it as a substring or sameName holds it already. Otherwise it
    // goes down the edge of its distance, or becomes a new child there.
    void add(const std::vector<int>& term, const std::string& termName);

    // Names (this node's and sameName) within `threshold`, once per node;
    // children along edges max(1, |d - t|) .. d + t.
    void query(const std::vector<int>& term, const std::string& termName, int threshold,
               std::set<std::string>& results);
  };

  std::unique_ptr<Node> root;
  // What nodeCount has counted: each node with its sameName entries.
  int count = 0;

  void put(const std::vector<int>& term, const std::string& name);
  std::set<std::string> query(const std::vector<int>& term, const std::string& name, int threshold);
  // Adds to `count` one per node below and including `node`, plus its
  // sameName entries.
  void nodeCount(const Node* node);

  // A tree holding every (name, fingerprint) pair, put in the map's order.
  static std::unique_ptr<OldBKTreeService> mk(const std::map<std::string, std::vector<int>>& elems);
  static int calculateHamming(const std::vector<int>& pic1, const std::vector<int>& pic2);
};

}  // namespace orvexa
