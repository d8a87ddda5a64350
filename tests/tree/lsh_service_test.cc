#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "orvexa/tree/inverted_sort.h"
#include "orvexa/tree/lsh_service.h"
#include "orvexa/units/scan_status.h"
#include "support/features.h"
#include "support/signal.h"
#include "tree/nodes.h"

namespace orvexa {
namespace {

using namespace testing;  // the node helpers of tree/nodes.h
using Names = std::set<std::string>;
using Pairs = std::set<std::pair<std::string, std::string>>;
using Groups = std::map<std::string, Names>;

constexpr int kFeatureID = 8601;

// Every pair of names that the result puts together (key with member).
Pairs pairsOf(const LSHService::SearchResult& result) {
  Pairs pairs;
  for (const auto& [key, members] : result) {
    for (const SimilarNodePtr& m : members) pairs.insert(std::minmax(key->name, m->name));
  }
  return pairs;
}

// Each key's name with its members' names.
template <typename Result>
Groups groupsOf(const Result& result) {
  Groups groups;
  for (const auto& [key, members] : result) groups[key->name] = namesOf(members);
  return groups;
}

// Filing and searching run on the global pool and merge on a serial queue;
// the suite also runs under ThreadSanitizer.
class LSHServiceConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override { ScanStatusTable::set(kFeatureID, ScanState::start); }
  void TearDown() override { ScanStatusTable::erase(kFeatureID); }

  // generaTable then search, both waited for, as the scan calls them.
  LSHService::SearchResult fileAndSearch(const std::vector<SimilarNodePtr>& nodes, int bands,
                                         int threshold) {
    LSHService& lsh = LSHService::shard();
    Signal step;  // once when filed, again when searched
    queue_->run([&] { lsh.generaTable(queue_, nodes, 6, bands, feature_, [&] { step.notify(); }); },
                nullptr);
    EXPECT_TRUE(step.wait());
    LSHService::SearchResult result;
    queue_->run(
        [&] {
          lsh.search(nodes, 100, bands, threshold, queue_, feature_, [&](auto r) {
            result = std::move(r);
            step.notify();
          });
        },
        nullptr);
    EXPECT_TRUE(step.wait(std::chrono::seconds(20), 2));
    queue_->waitUntilIdle();
    return result;
  }

  ModulePtr module_ = testing::makeModule(kFeatureID, {});
  FeaturePtr feature_ = testing::featureOf(module_);
  std::shared_ptr<SerialGCDService> queue_ =
      std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
};

// Candidate sets are keyed by their query node; a node with no candidate
// gets no entry. b is 1 bit from a, c 3 bits, b and c 4 apart.
TEST_F(LSHServiceConcurrencyTest, SelectionsSlicesAndCandidateSetsPerQueryNode) {
  std::mt19937 random(6);
  const std::vector<int> bits = randomBits(random);
  const std::vector<SimilarNodePtr> nodes = {
      makeNode("a", bits), makeNode("twin", bits), makeNode("b", flipped(bits, {0})),
      makeNode("c", flipped(bits, {6, 12, 18})), makeNode("alone", randomBits(random))};
  const auto byQuery = [&](int threshold) { return groupsOf(fileAndSearch(nodes, 3, threshold)); };
  EXPECT_EQ(byQuery(0), (Groups{{"/p/a", {"/p/twin"}}, {"/p/twin", {"/p/a"}}}));
  EXPECT_EQ(byQuery(3), (Groups{{"/p/a", {"/p/twin", "/p/b", "/p/c"}},
                                {"/p/twin", {"/p/a", "/p/b", "/p/c"}},
                                {"/p/b", {"/p/a", "/p/twin"}},
                                {"/p/c", {"/p/a", "/p/twin"}}}));
  // A suspended scan files nothing and finds nothing.
  ScanStatusTable::set(kFeatureID, ScanState::suspend);
  EXPECT_TRUE(byQuery(5).empty());
  EXPECT_TRUE(LSHService::shard().tableDicts.empty());

  // Ordered choices of distinct bands, concatenated; slices of at most 100.
  const std::vector<std::vector<int>> bands{{0}, {1}, {2}, {3}, {4}, {5}};
  const auto three = LSHService::selections(bands, 3, nullptr);
  EXPECT_EQ(std::set<std::vector<int>>(three.begin(), three.end()).size(), 120u);
  EXPECT_EQ(three.back(), (std::vector<int>{5, 4, 3}));
  EXPECT_EQ(LSHService::selections({{1, 1}, {0, 1}}, 2, nullptr),
            (std::vector<std::vector<int>>{{1, 1, 0, 1}, {0, 1, 1, 1}}));
  EXPECT_TRUE(LSHService::selections(bands, 3, [] { return true; }).empty());
  EXPECT_TRUE(LSHService::selections(bands, 7, nullptr).empty());
  EXPECT_EQ(LSHService::sliceSizes(250, 100), (std::vector<size_t>{100, 100, 50}));
  EXPECT_EQ(LSHService::sliceSizes(200, 100), (std::vector<size_t>{100, 100}));
  EXPECT_TRUE(LSHService::sliceSizes(0, 100).empty());
}

// Planted near pairs whose differences touch at most three of the six bands
// agree on some selection of three bands: the band lookup finds every one,
// whatever the random keys do. 250 nodes make slices of 100, 100 and 50.
TEST_F(LSHServiceConcurrencyTest, BandLookupFindsEveryPairThatAgreesOnASelection) {
  std::mt19937 random(3);
  std::vector<SimilarNodePtr> nodes;
  Pairs planted;
  for (int i = 0; i < 125; ++i) {
    const std::vector<int> bits = randomBits(random);
    std::vector<int> copy = bits;
    for (auto f = 1 + random() % 3; f > 0; --f) copy[random() % 36] ^= 1;  // in up to three bands
    const std::string a = "a" + std::to_string(i), b = "b" + std::to_string(i);
    nodes.insert(nodes.end(), {makeNode(a, bits), makeNode(b, copy)});
    planted.insert(std::minmax("/p/" + a, "/p/" + b));
  }
  std::sort(nodes.begin(), nodes.end(), [](auto& x, auto& y) { return x->url < y->url; });
  const auto result = fileAndSearch(nodes, 3, 3);
  const auto found = pairsOf(result);
  for (const auto& pair : planted) EXPECT_EQ(found.count(pair), 1u) << pair.first;
  // Whatever else was paired is within the distance limit.
  for (const auto& [key, members] : result) {
    for (const auto& m : members)
      EXPECT_LE(SimilarNode::calculateHamming(key->fingerprint, m->fingerprint), 3);
  }
}

TEST(InvertedSortTest, PairsNeedThreeOfFourEqualParts) {
  // Quarters of 9 bits with values that never repeat across quarters.
  auto quarters = [](std::initializer_list<int> values) {
    std::vector<int> bits;
    for (int v : values)
      for (int b = 8; b >= 0; --b) bits.push_back((v >> b) & 1);
    return bits;
  };
  auto n = makeNode("n", quarters({1, 2, 3, 4}));
  auto two = makeNode("two", quarters({1, 2, 30, 40}));
  auto three = makeNode("three", quarters({1, 2, 3, 44}));
  auto four = makeNode("four", quarters({1, 2, 3, 4}));
  InvertedSort index;
  index.buildIndex({n, two, three, four});
  EXPECT_EQ(n->fingerIndex, (std::vector<std::string>{"1", "2", "3", "4"}));
  EXPECT_EQ(three->fingerIndex, (std::vector<std::string>{"1", "2", "3", "2c"}));
  EXPECT_EQ(index.hashDict.at("2").size(), 4u);

  const auto result = index.search({n, two});
  EXPECT_EQ(groupsOf(result),
            (Groups{{"/p/n", {"/p/n", "/p/three", "/p/four"}}, {"/p/two", {"/p/two"}}}));
  EXPECT_EQ(result.at(two), std::vector{two}) << "two shares only two parts with anyone";
}

}  // namespace
}  // namespace orvexa
