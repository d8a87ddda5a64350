#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "orvexa/tree/bk_tree_old_service.h"
#include "orvexa/tree/bk_tree_service.h"
#include "orvexa/tree/duplicate_folder_info.h"
#include "orvexa/tree/duplicate_node.h"
#include "orvexa/tree/inverted_sort.h"
#include "orvexa/tree/similar_node.h"
#include "tree/nodes.h"

namespace orvexa {
namespace {

using namespace testing;  // the node helpers of tree/nodes.h
using Names = std::set<std::string>;

std::vector<int> bitsOf(const std::string& text) {
  std::vector<int> bits;
  for (char c : text) bits.push_back(c - '0');
  return bits;
}

const std::vector<int> kBase = bitsOf("101100111000110101011100001111010110");

// The names a similarity search from `root` returns.
Names searched(const SimilarNodePtr& root, const SimilarNodePtr& query, int threshold) {
  SimilarNodeSet out;
  root->search(*query, threshold, out);
  return namesOf(out);
}

TEST(SimilarNodeTest, IdentityIgnoresFingerprintAndFlags) {
  auto b = makeNode("a", flipped(kBase, {0}));
  b->similarHadChoose = true;
  EXPECT_TRUE(SimilarNodeEqual()(makeNode("a", kBase), b));
  const SimilarNodeSet set{makeNode("a", kBase), makeNode("c", kBase)};
  EXPECT_EQ(set.size(), 2u);
  EXPECT_EQ(set.count(makeNode("c", kBase)), 1u);
}

// An identical fingerprint is no tree child: put says so and the node rides
// with its twin, at the root or further down. At threshold 0 a search visits
// no child of an exact match.
TEST(BKTreeServiceTest, DuplicatesRideAlongAndThresholdZeroStopsAtThem) {
  BKTreeService tree;
  auto root = makeNode("root", kBase);
  auto near = makeNode("near", flipped(kBase, {3, 4}));
  auto same = makeNode("same", kBase);
  auto sameAsNear = makeNode("same-as-near", near->fingerprint);
  EXPECT_EQ((std::vector{tree.put(root), tree.put(near), tree.put(same), tree.put(sameAsNear)}),
            (std::vector{false, false, true, true}));
  EXPECT_EQ(root->childrenDict, (decltype(root->childrenDict){{2, near}}));
  EXPECT_EQ(root->childrens, std::vector<SimilarNodePtr>{same});
  EXPECT_EQ(near->childrens, std::vector<SimilarNodePtr>{sameAsNear});

  EXPECT_EQ(searched(root, makeNode("query", kBase), 0), (Names{"/p/root", "/p/same"}));
  EXPECT_FALSE(near->similarHadChoose);
  // The exact search finds the same pair without looking further either.
  SimilarNodeSet exact;
  root->searchDuplicate(*makeNode("query", kBase), exact);
  EXPECT_EQ(namesOf(exact), (Names{"/p/root", "/p/same"}));
  EXPECT_TRUE(root->duplicateHadChoose && same->duplicateHadChoose);
  // A query two bits away from the root at threshold 0 follows edge 2 only.
  EXPECT_EQ(searched(root, makeNode("q2", near->fingerprint), 0),
            (Names{"/p/near", "/p/same-as-near"}));
}

// Children are visited along edges max(1, |d - t|) .. d + t: with d < t the
// edges below t - d are not followed, even where a near node hangs; and a
// node grouped once is not returned again.
TEST(BKTreeServiceTest, SearchRangeAndGroupedNodes) {
  BKTreeService tree;
  auto root = makeNode("root", kBase);
  auto child = makeNode("child", flipped(kBase, {1}));  // edge 1
  for (const auto& n : {root, child}) tree.put(n);
  // Edges 2..4 are followed.
  EXPECT_EQ(searched(tree.root, makeNode("query", flipped(kBase, {0})), 3), Names{"/p/root"});
  OldBKTreeService old;
  old.put(kBase, "/p/root.jpg");
  old.put(child->fingerprint, "/p/child.jpg");
  EXPECT_EQ(old.query(flipped(kBase, {0}), "/p/query.jpg", 3), Names{"/p/root.jpg"});
  EXPECT_EQ(old.query(child->fingerprint, "/p/child.jpg", 1), Names{"/p/child.jpg"});

  BKTreeService grouped;
  auto a = makeNode("a", kBase);
  auto b = makeNode("b", flipped(kBase, {0, 1}));
  auto c = makeNode("c", flipped(kBase, {0, 1, 2, 3}));
  for (const auto& n : {a, b, c}) grouped.put(n);
  EXPECT_EQ(searched(grouped.root, a, 2), (Names{"/p/a", "/p/b"}));
  EXPECT_EQ(searched(grouped.root, c, 2), Names{"/p/c"})
      << "b is within 2 of c but grouped already";
  EXPECT_TRUE(searched(grouped.root, b, 5).empty());
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
      if (i % 40 == 0) seed = testing::randomBits(random);  // clusters, so near pairs exist
      std::vector<int> bits = seed;
      for (size_t f = random() % 8; f > 0; --f) bits[random() % bits.size()] ^= 1;
      nodes.push_back(makeNode("n" + std::to_string(i), bits));
    }
    BKTreeService tree;
    for (const auto& n : nodes) tree.put(n);
    for (int q = 0; q < 30; ++q) {
      const SimilarNodePtr& query = nodes[random() % nodes.size()];
      for (const auto& n : nodes) n->similarHadChoose = false;
      const Names names = searched(tree.root, query, threshold);
      Names expected;
      for (const auto& n : nodes) {
        if (SimilarNode::calculateHamming(query->fingerprint, n->fingerprint) <= threshold)
          expected.insert(n->name);
      }
      EXPECT_TRUE(std::includes(expected.begin(), expected.end(), names.begin(), names.end()));
      EXPECT_TRUE(threshold != 0 || names == expected);
    }
  }
}

TEST(OldBKTreeServiceTest, IdenticalTermsCollectNamesOnceAndQueriesReturnEachNodeOnce) {
  OldBKTreeService tree;
  // The second name is a substring of the node's own; the fourth is in sameName already.
  for (const char* name : {"/q/p/holiday.jpg", "/p/holiday.jpg", "/p/copy.jpg", "/p/copy.jpg"})
    tree.put(kBase, name);
  tree.put(flipped(kBase, {5}), "/p/other.jpg");
  EXPECT_EQ(tree.root->sameName, std::vector<std::string>{"/p/copy.jpg"});
  tree.nodeCount(tree.root.get());
  EXPECT_EQ(tree.count, 3);  // two nodes and one extra name

  std::map<std::string, std::vector<int>> elems{{"/p/a.jpg", kBase},
                                                {"/p/b.jpg", flipped(kBase, {0})},
                                                {"/p/c.jpg", flipped(kBase, {0, 1, 2, 3, 4, 5, 6})},
                                                {"/p/d.jpg", kBase}};
  auto made = OldBKTreeService::mk(elems);
  EXPECT_EQ(made->root->name, "/p/a.jpg");  // the map's first entry
  EXPECT_EQ(made->query(kBase, "/p/a.jpg", 1), (Names{"/p/a.jpg", "/p/b.jpg", "/p/d.jpg"}));
  EXPECT_EQ(made->query(flipped(kBase, {0}), "/p/b.jpg", 1), Names{});
  EXPECT_EQ(made->query(elems["/p/c.jpg"], "/p/c.jpg", 1), Names{"/p/c.jpg"});
}

TEST(FingerprintUtilitiesTest, HashStringsBinaryTextGrayComparisonsFolderValuesAndDistances) {
  EXPECT_EQ(BKTreeService::getHashString(bitsOf("101")), "") << "no complete group";
  EXPECT_EQ(BKTreeService::getHashString(bitsOf("10110011100011010101110000111101011011")),
            "b38d5c3d6");  // 38 entries
  for (auto [text, value] : {std::pair{"", 0}, {"0110", 6}, {"100000000", 256}})
    EXPECT_EQ(InvertedSort::stringBinary2Dec(text), value) << text;
  const std::vector<int> a{10, 20, 30, 40, 200, 0};
  const std::vector<int> b{10, 30, 41, 29, 190, 11};
  EXPECT_EQ(BKTreeService::calculateGrayHamming(a, b, 10), 3);  // three differ by 11, two by 10
  EXPECT_EQ(BKTreeService::calculateGrayHamming(a, b, 0), 5);

  // The duplicate tree's folder values and distance strings.
  EXPECT_EQ(DuplicateFolderInfo::calculateValue("ab", "ba"), 0);
  EXPECT_EQ(DuplicateFolderInfo::calculateValue("", "a"), 97);
  // Bytes outside ASCII add nothing ("文" is three bytes).
  EXPECT_EQ(DuplicateFolderInfo::calculateValue("\xe6\x96\x87x", "y"), 1);
  // Sorted descending in plain byte order (upper case first), then joined.
  EXPECT_EQ(DuplicateNode::calculationDistanceString({"a", "A", "b"}), "baA");
  EXPECT_EQ(DuplicateNode::calculationDistanceString({"ab", "a", "abc"}), "abcaba");
}

}  // namespace
}  // namespace orvexa
