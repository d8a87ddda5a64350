#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "orvexa/tree/bk_tree_old_service.h"
#include "orvexa/tree/bk_tree_service.h"
#include "orvexa/tree/inverted_sort.h"
#include "orvexa/tree/similar_node.h"
#include "tree/nodes.h"

namespace orvexa {
namespace {

using testing::makeNode;
using testing::randomBits;

std::vector<int> bitsOf(const std::string& text) {
  std::vector<int> bits;
  for (char c : text) {
    if (c == '0' || c == '1') bits.push_back(c - '0');
  }
  return bits;
}

std::vector<int> flipped(std::vector<int> bits, std::initializer_list<size_t> positions) {
  for (size_t p : positions) bits[p] = 1 - bits[p];
  return bits;
}

std::set<std::string> namesOf(const SimilarNodeSet& nodes) {
  std::set<std::string> names;
  for (const SimilarNodePtr& n : nodes) names.insert(n->name);
  return names;
}

const std::vector<int> kBase = bitsOf("101100111000110101011100001111010110");

TEST(SimilarNodeTest, IdentityIgnoresFingerprintAndFlags) {
  auto a = makeNode("a", kBase);
  auto b = makeNode("a", flipped(kBase, {0}));
  b->similarHadChoose = true;
  EXPECT_TRUE(SimilarNodeEqual()(a, b));
  auto c = makeNode("c", kBase);
  EXPECT_FALSE(SimilarNodeEqual()(a, c));
  SimilarNodeSet set{a, c};
  EXPECT_EQ(set.size(), 2u);
  EXPECT_EQ(set.count(makeNode("c", kBase)), 1u);
}

TEST(BKTreeServiceTest, DuplicatePutReturnsTrueAndRidesAlong) {
  BKTreeService tree;
  auto root = makeNode("root", kBase);
  auto near = makeNode("near", flipped(kBase, {3, 4}));
  auto same = makeNode("same", kBase);
  EXPECT_FALSE(tree.put(root));
  EXPECT_FALSE(tree.put(near));
  ASSERT_EQ(root->childrenDict.size(), 1u);
  EXPECT_EQ(root->childrenDict.at(2), near);

  EXPECT_TRUE(tree.put(same));
  EXPECT_EQ(root->childrenDict.size(), 1u) << "an identical fingerprint is no tree child";
  ASSERT_EQ(root->childrens.size(), 1u);
  EXPECT_EQ(root->childrens[0], same);

  // Identical to a node further down: it rides with that node.
  auto sameAsNear = makeNode("same-as-near", near->fingerprint);
  EXPECT_TRUE(tree.put(sameAsNear));
  ASSERT_EQ(near->childrens.size(), 1u);
  EXPECT_EQ(near->childrens[0], sameAsNear);
  EXPECT_EQ(tree.count, 0);
}

TEST(BKTreeServiceTest, ThresholdZeroVisitsNoChildOfAnExactMatch) {
  BKTreeService tree;
  auto root = makeNode("root", kBase);
  auto rider = makeNode("rider", kBase);
  auto child = makeNode("child", flipped(kBase, {7}));
  tree.put(root);
  tree.put(rider);
  tree.put(child);
  ASSERT_EQ(root->childrenDict.count(1), 1u);

  SimilarNodeSet results;
  root->search(*makeNode("query", kBase), 0, results);
  EXPECT_EQ(namesOf(results), (std::set<std::string>{"/p/root", "/p/rider"}));
  EXPECT_FALSE(child->similarHadChoose);

  // The exact search finds the same pair without looking further either.
  SimilarNodeSet exact;
  root->searchDuplicate(*makeNode("query", kBase), exact);
  EXPECT_EQ(namesOf(exact), (std::set<std::string>{"/p/root", "/p/rider"}));
  EXPECT_TRUE(root->duplicateHadChoose);
  EXPECT_TRUE(rider->duplicateHadChoose);

  // A query one bit away from the root at threshold 0 follows edge 1 only.
  SimilarNodeSet viaEdge;
  root->search(*makeNode("q2", child->fingerprint), 0, viaEdge);
  EXPECT_EQ(namesOf(viaEdge), (std::set<std::string>{"/p/child"}));
}

TEST(BKTreeServiceTest, GroupedNodesAreNotReturnedTwice) {
  BKTreeService tree;
  auto a = makeNode("a", kBase);
  auto b = makeNode("b", flipped(kBase, {0, 1}));
  auto c = makeNode("c", flipped(kBase, {0, 1, 2, 3}));
  for (const auto& n : {a, b, c}) tree.put(n);

  auto search = [&](const SimilarNodePtr& query, int threshold) {
    SimilarNodeSet found;
    tree.root->search(*query, threshold, found);
    return namesOf(found);
  };
  EXPECT_EQ(search(a, 2), (std::set<std::string>{"/p/a", "/p/b"}));
  // b and c are within 2 of each other, but b is grouped already.
  EXPECT_EQ(search(c, 2), (std::set<std::string>{"/p/c"}));
  EXPECT_TRUE(search(b, 5).empty());
}

// Everything a search returns is within the threshold; at threshold 0 it is
// exactly what comparing every pair finds.
TEST(BKTreeServiceTest, SearchIsSoundAndExactAtThresholdZero) {
  std::mt19937 random(20240611);
  for (int threshold : {0, 5}) {
    SCOPED_TRACE(threshold);
    std::vector<SimilarNodePtr> nodes;
    std::vector<int> seed;
    for (int i = 0; i < 400; ++i) {
      if (i % 40 == 0) seed = randomBits(random);  // clusters, so that near pairs exist
      std::vector<int> bits = seed;
      for (size_t f = random() % 8; f > 0; --f) bits[random() % bits.size()] ^= 1;
      nodes.push_back(makeNode("n" + std::to_string(i), bits));
    }
    BKTreeService tree;
    for (const auto& n : nodes) tree.put(n);
    for (int q = 0; q < 30; ++q) {
      const SimilarNodePtr& query = nodes[random() % nodes.size()];
      for (const auto& n : nodes) n->similarHadChoose = false;
      SimilarNodeSet found;
      tree.root->search(*query, threshold, found);
      std::set<std::string> expected;
      for (const auto& n : nodes) {
        if (SimilarNode::calculateHamming(query->fingerprint, n->fingerprint) <= threshold) {
          expected.insert(n->name);
        }
      }
      const std::set<std::string> names = namesOf(found);
      EXPECT_TRUE(std::includes(expected.begin(), expected.end(), names.begin(), names.end()));
      if (threshold == 0) {
        EXPECT_EQ(names, expected);
      }
    }
  }
}

// Children are visited along edges max(1, |d - t|) .. d + t: with d < t the
// edges below t - d are not followed, even where a near node hangs.
TEST(BKTreeServiceTest, EdgesBelowTheSearchRangeAreNotFollowed) {
  BKTreeService tree;
  auto root = makeNode("root", kBase);
  auto child = makeNode("child", flipped(kBase, {1}));  // edge 1
  tree.put(root);
  tree.put(child);
  auto query = makeNode("query", flipped(kBase, {0}));  // 1 from root, 2 from child
  SimilarNodeSet found;
  tree.root->search(*query, 3, found);  // edges 2..4
  EXPECT_EQ(namesOf(found), std::set<std::string>{"/p/root"});

  OldBKTreeService old;
  old.put(kBase, "/p/root.jpg");
  old.put(child->fingerprint, "/p/child.jpg");
  EXPECT_EQ(old.query(query->fingerprint, "/p/query.jpg", 3), std::set<std::string>{"/p/root.jpg"});
  EXPECT_EQ(old.query(child->fingerprint, "/p/child.jpg", 1),
            std::set<std::string>{"/p/child.jpg"});
}

TEST(OldBKTreeServiceTest, IdenticalTermsCollectNamesOnce) {
  OldBKTreeService tree;
  tree.put(kBase, "/q/p/holiday.jpg");
  tree.put(kBase, "/p/holiday.jpg");  // a substring of the node's own name
  tree.put(kBase, "/p/copy.jpg");
  tree.put(kBase, "/p/copy.jpg");  // already in sameName
  tree.put(flipped(kBase, {5}), "/p/other.jpg");
  ASSERT_TRUE(tree.root);
  EXPECT_EQ(tree.root->sameName, std::vector<std::string>{"/p/copy.jpg"});
  EXPECT_EQ(tree.root->children.size(), 1u);
  tree.nodeCount(tree.root.get());
  EXPECT_EQ(tree.count, 3);  // two nodes and one extra name
}

TEST(OldBKTreeServiceTest, QueryReturnsEachNodeOnce) {
  std::map<std::string, std::vector<int>> elems{
      {"/p/a.jpg", kBase},
      {"/p/b.jpg", flipped(kBase, {0})},
      {"/p/c.jpg", flipped(kBase, {0, 1, 2, 3, 4, 5, 6})},
      {"/p/d.jpg", kBase},
  };
  auto tree = OldBKTreeService::mk(elems);
  ASSERT_TRUE(tree->root);
  EXPECT_EQ(tree->root->name, "/p/a.jpg");  // the map's first entry
  EXPECT_EQ(tree->query(kBase, "/p/a.jpg", 1),
            (std::set<std::string>{"/p/a.jpg", "/p/b.jpg", "/p/d.jpg"}));
  EXPECT_EQ(tree->query(flipped(kBase, {0}), "/p/b.jpg", 1), std::set<std::string>{});
  EXPECT_EQ(tree->query(elems["/p/c.jpg"], "/p/c.jpg", 1), std::set<std::string>{"/p/c.jpg"});
}

TEST(FingerprintUtilitiesTest, HashStringAndBinaryText) {
  struct Case {
    std::string bits;
    std::string hex;
  };
  const Case cases[] = {
      {"1111 0000 0110", "f06"},
      {"101", ""},  // no complete group
      {"101100111000110101011100001111010110", "b38d5c3d6"},
      {"10110011100011010101110000111101011011", "b38d5c3d6"},  // 38 entries
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    EXPECT_EQ(BKTreeService::getHashString(bitsOf(c.bits)), c.hex);
  }
  for (const auto& [text, value] :
       std::vector<std::pair<std::string, int64_t>>{{"", 0}, {"0110", 6}, {"100000000", 256}}) {
    EXPECT_EQ(InvertedSort::stringBinary2Dec(text), value) << text;
  }
}

TEST(FingerprintUtilitiesTest, GrayComparisons) {
  const std::vector<int> a{10, 20, 30, 40, 200, 0};
  const std::vector<int> b{10, 30, 41, 29, 190, 11};
  EXPECT_EQ(BKTreeService::calculateGrayHamming(a, b, 10), 3);  // three differ by 11, two by 10
  EXPECT_EQ(BKTreeService::calculateGrayHamming(a, b, 0), 5);
}

}  // namespace
}  // namespace orvexa
