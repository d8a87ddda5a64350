#include "orvexa/scan/similar_text/document_groups.h"

#include <limits>
#include <numeric>

namespace orvexa {
namespace {

// Union-find with union by size and path halving.
class DisjointSets {
 public:
  explicit DisjointSets(size_t n) : parent_(n), size_(n, 1) {
    std::iota(parent_.begin(), parent_.end(), size_t{0});
  }

  size_t find(size_t x) {
    while (parent_[x] != x) {
      parent_[x] = parent_[parent_[x]];
      x = parent_[x];
    }
    return x;
  }

  void unite(size_t a, size_t b) {
    a = find(a);
    b = find(b);
    if (a == b) return;
    if (size_[a] < size_[b]) std::swap(a, b);
    parent_[b] = a;
    size_[a] += size_[b];
  }

 private:
  std::vector<size_t> parent_;
  std::vector<size_t> size_;
};

}  // namespace

std::vector<std::vector<GroupedDocument>> groupSimilarDocuments(
    const CompressedSizes& sizes, int percent, const std::vector<std::string>* texts) {
  const size_t n = sizes.count();
  auto isShort = [texts](size_t i) {
    return texts != nullptr && i < texts->size() && (*texts)[i].size() < kShortTextBytes;
  };
  DisjointSets sets(n);
  // Only measured pairs can be within the threshold; the links found are
  // kept to name each member's nearest.
  std::vector<std::pair<size_t, size_t>> links;
  for (const auto& [i, j] : sizes.measuredPairs()) {
    if ((isShort(i) || isShort(j)) && (*texts)[i] != (*texts)[j]) continue;
    if (!sizes.isWithin(i, j, percent)) continue;
    sets.unite(i, j);
    links.emplace_back(i, j);
  }
  // The closest linked document of each document: the closest member of its
  // group is always linked to it, being no further than any of its links.
  std::vector<GroupedDocument> nearest(n);
  for (size_t i = 0; i < n; ++i) nearest[i] = {i, i, std::numeric_limits<double>::infinity()};
  for (const auto& [i, j] : links) {
    const double d = sizes.distance(i, j).value_or(1.0);
    for (auto [a, b] : {std::pair{i, j}, std::pair{j, i}}) {
      if (d < nearest[a].distance || (d == nearest[a].distance && b < nearest[a].nearest)) {
        nearest[a].nearest = b;
        nearest[a].distance = d;
      }
    }
  }

  // Members by root, in ascending order; a group's position is fixed by its
  // first (smallest) member.
  std::vector<std::vector<size_t>> byRoot(n);
  for (size_t i = 0; i < n; ++i) byRoot[sets.find(i)].push_back(i);

  std::vector<std::vector<GroupedDocument>> groups;
  for (size_t i = 0; i < n; ++i) {
    const std::vector<size_t>& members = byRoot[sets.find(i)];
    if (members.size() < 2 || members.front() != i) continue;
    std::vector<GroupedDocument> group;
    group.reserve(members.size());
    for (size_t m : members) group.push_back(nearest[m]);
    groups.push_back(std::move(group));
  }
  return groups;
}

}  // namespace orvexa
