// LSHService: candidate pairs of similar pictures without comparing all
// pairs. Each fingerprint is cut into bands of cutLength entries (36 / 6 = 6
// bands in the scan); every ordered selection of k distinct bands is one
// bucket table (120 tables for k = 3, 30 for k = 2), and a node is filed in
// table i under the number its selected bands spell. search() then looks
// nodes up in the tables, slices of nodes at a time on the global pool, and
// keeps the candidates whose fingerprint distance is within the limit.
//
// Two lookups per node feed search():
// - the random query key: k bands drawn at random from the node, looked up
//   in every table whatever selection the table stands for. It finds a near
//   node only when the draw happens to avoid every band where the two
//   differ;
// - the band lookup (bandLookup(), on by default): the node's own key in the
//   table of each selection, which finds every node that agrees with it on
//   all k bands of some selection. Selections that are reorderings of one
//   another hold the same buckets, so only one order of each set of bands is
//   looked up.
// Which member a candidate set is stored under matters to its user, which
// confirms the rest against that member: by default it is the node the set
// was built for (setKeyByQueryNode).
//
// Stop: while the feature's scan is suspended (scan-status table), filing
// enumerates nothing (allFinish is still reached) and search finishes at
// once with an empty map.
//
// Threading: one shared instance (shard()), used by one scan at a time.
// generaTable must be called on `serialQueue`: tableDicts is written only
// there; search() reads the tables from pool tasks while nothing writes them.
// allFinish and finish run on serialQueue.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "orvexa/model/records.h"
#include "orvexa/tree/similar_node.h"
#include "orvexa/units/serial_queue.h"

namespace orvexa {

class LSHService {
 public:
  using BucketTable = std::unordered_map<int64_t, std::vector<SimilarNodePtr>>;
  using SearchResult = SimilarNodeMap<SimilarNodeSet>;

  // The shared instance ("shard" is the historical spelling of shared(), as
  // in Paths::shared()).
  static LSHService& shard();

  // Table number -> band key -> nodes filed under it. Emptied by every
  // generaTable.
  std::map<int, BucketTable> tableDicts;

  // Cuts every node's fingerprint into bands (its cutArray), then files each
  // node, one pool task per node, into one table per ordered selection of
  // `threshold` bands. `similarNodes` must not be empty and cutLength must
  // be at least 1.
  void generaTable(const std::shared_ptr<SerialGCDService>& serialQueue,
                   const std::vector<SimilarNodePtr>& similarNodes, int cutLength, int threshold,
                   const FeaturePtr& featureInfo, std::function<void()> allFinish);

  // Candidate groups: slices of cutLength nodes are searched in parallel.
  // For each node N the candidates are the nodes found by its lookups whose
  // fingerprint differs from N's in at most `threthold` positions; with N
  // added, a set of two or more is stored under its first member (see
  // setKeyByQueryNode) with the rest as its value. Sets stored under the
  // same member are united. tableThrethod is the number of bands of the
  // random query key (the `threshold` of generaTable).
  void search(const std::vector<SimilarNodePtr>& similarNodes, int cutLength, int tableThrethod,
              int threthold, const std::shared_ptr<SerialGCDService>& serialQueue,
              const FeaturePtr& featureInfo, std::function<void(SearchResult)> finish);

  // The slices search() cuts `count` nodes into: count / cutLength slices of
  // cutLength, then one of the remainder when it is not 0.
  static std::vector<size_t> sliceSizes(size_t count, int cutLength);

  // Whether search() also looks nodes up under their own band keys.
  void setBandLookup(bool enabled) { bandLookup_.store(enabled); }
  bool bandLookup() const { return bandLookup_.load(); }

  // The order in which a node's candidate set is iterated when its first
  // member is taken as the key of the rest: on (the default), the queried
  // node comes first, so every set is keyed by the node it was built for
  // and its members are confirmed against that node; off, the set's hash
  // order decides, and a set may be keyed by one of the candidates.
  void setKeyByQueryNode(bool enabled) { keyByQueryNode_.store(enabled); }
  bool keyByQueryNode() const { return keyByQueryNode_.load(); }

  static std::string getHashString(const std::vector<int>& fingerprint);
  // The number a list of 0/1 entries spells, first entry most significant.
  static int64_t arrayBinary2Dec(const std::vector<int>& bits);

  // Every ordered selection of k distinct items, each the concatenation of
  // its items: by the first item's position, then the second's, and so on.
  // Empty when `stopped` says so.
  static std::vector<std::vector<int>> selections(const std::vector<std::vector<int>>& items, int k,
                                                  const std::function<bool()>& stopped);

 private:
  LSHService() = default;

  // The band numbers of table i, in selection order (written with the
  // tables).
  std::vector<std::vector<int>> tableBands_;
  std::atomic<bool> bandLookup_{true};
  std::atomic<bool> keyByQueryNode_{true};
};

}  // namespace orvexa
