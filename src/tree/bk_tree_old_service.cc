#include "orvexa/tree/bk_tree_old_service.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace orvexa {

OldBKTreeService::Node::Node(std::vector<int> term, std::string nodeName)
    : value(std::move(term)), name(std::move(nodeName)) {}

void OldBKTreeService::Node::add(const std::vector<int>& term, const std::string& termName) {
  Node* at = this;
  while (true) {
    const int d = calculateHamming(term, at->value);
    if (d == 0) {
      const bool known =
          at->name.find(termName) != std::string::npos ||
          std::find(at->sameName.begin(), at->sameName.end(), termName) != at->sameName.end();
      if (!known) at->sameName.push_back(termName);
      return;
    }
    auto edge = at->children.find(d);
    if (edge == at->children.end()) {
      at->children.emplace(d, std::make_unique<Node>(term, termName));
      return;
    }
    at = edge->second.get();
  }
}

void OldBKTreeService::Node::query(const std::vector<int>& term, const std::string& termName,
                                   int threshold, std::set<std::string>& results) {
  const int d = calculateHamming(term, value);
  if (d <= threshold && !hasChoose) {
    results.insert(name);
    results.insert(sameName.begin(), sameName.end());
    hasChoose = true;
  }
  const int lower = std::max(1, std::abs(d - threshold));
  for (int k = lower; k <= d + threshold; ++k) {
    auto edge = children.find(k);
    if (edge != children.end()) edge->second->query(term, termName, threshold, results);
  }
}

void OldBKTreeService::put(const std::vector<int>& term, const std::string& name) {
  if (!root) {
    root = std::make_unique<Node>(term, name);
  } else {
    root->add(term, name);
  }
}

std::set<std::string> OldBKTreeService::query(const std::vector<int>& term, const std::string& name,
                                              int threshold) {
  std::set<std::string> results;
  if (root) root->query(term, name, threshold, results);
  return results;
}

void OldBKTreeService::nodeCount(const Node* node) {
  if (node == nullptr) return;
  count += 1 + static_cast<int>(node->sameName.size());
  for (const auto& [distance, child] : node->children) nodeCount(child.get());
}

std::unique_ptr<OldBKTreeService> OldBKTreeService::mk(
    const std::map<std::string, std::vector<int>>& elems) {
  auto tree = std::make_unique<OldBKTreeService>();
  for (const auto& [name, fingerprint] : elems) tree->put(fingerprint, name);
  return tree;
}

int OldBKTreeService::calculateHamming(const std::vector<int>& pic1, const std::vector<int>& pic2) {
  int distance = 0;
  const size_t n = std::min(pic1.size(), pic2.size());
  for (size_t i = 0; i < n; ++i) {
    if (pic1[i] != pic2[i]) ++distance;
  }
  return distance;
}

}  // namespace orvexa
