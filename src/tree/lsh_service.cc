#include "orvexa/tree/lsh_service.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <utility>

#include "orvexa/tree/bk_tree_service.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/queue_or_here.h"
#include "orvexa/units/scan_status.h"

namespace orvexa {
namespace {

std::function<bool()> stopCheck(const FeaturePtr& feature) {
  if (!feature) return [] { return false; };
  const int64_t id = feature->finderID;
  return [id] { return ScanStatusTable::isSuspended(id); };
}

void enumerate(const std::vector<std::vector<int>>& items, int depth, int k,
               const std::function<bool()>& stopped, std::vector<std::vector<int>>& out) {
  if (stopped && stopped()) return;
  if (depth == k - 1) {
    for (const std::vector<int>& item : items) out.push_back(item);
    return;
  }
  for (size_t p = 0; p < items.size(); ++p) {
    std::vector<std::vector<int>> rest;
    rest.reserve(items.size() - 1);
    for (size_t q = 0; q < items.size(); ++q) {
      if (q != p) rest.push_back(items[q]);
    }
    std::vector<std::vector<int>> tails;
    enumerate(rest, depth + 1, k, stopped, tails);
    for (std::vector<int>& tail : tails) {
      std::vector<int> entry = items[p];
      entry.insert(entry.end(), tail.begin(), tail.end());
      out.push_back(std::move(entry));
    }
  }
}

std::mt19937 seededGenerator() {
  std::seed_seq seed{
      static_cast<unsigned>(std::random_device{}()),
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
  return std::mt19937(seed);
}

}  // namespace

LSHService& LSHService::shard() {
  static LSHService* instance = new LSHService();  // lives for the process
  return *instance;
}

int64_t LSHService::arrayBinary2Dec(const std::vector<int>& bits) {
  uint64_t value = 0;
  for (int bit : bits) value = value * 2 + static_cast<uint64_t>(static_cast<unsigned>(bit));
  return static_cast<int64_t>(value);
}

std::string LSHService::getHashString(const std::vector<int>& fingerprint) {
  return BKTreeService::getHashString(fingerprint);
}

std::vector<std::vector<int>> LSHService::selections(const std::vector<std::vector<int>>& items,
                                                     int k, const std::function<bool()>& stopped) {
  std::vector<std::vector<int>> out;
  if (k <= 0 || static_cast<size_t>(k) > items.size()) return out;
  enumerate(items, 0, k, stopped, out);
  if (stopped && stopped()) out.clear();
  return out;
}

std::vector<size_t> LSHService::sliceSizes(size_t count, int cutLength) {
  const size_t slice = static_cast<size_t>(std::max(cutLength, 1));
  std::vector<size_t> sizes(count / slice, slice);
  if (count % slice != 0) sizes.push_back(count % slice);
  return sizes;
}

void LSHService::generaTable(const std::shared_ptr<SerialGCDService>& serialQueue,
                             const std::vector<SimilarNodePtr>& similarNodes, int cutLength,
                             int threshold, const FeaturePtr& featureInfo,
                             std::function<void()> allFinish) {
  tableDicts.clear();
  tableBands_.clear();
  if (similarNodes.empty() || cutLength < 1) {
    runOnQueueOrHere(serialQueue, [allFinish] {
      if (allFinish) allFinish();
    });
    return;
  }
  const size_t length = similarNodes.front()->fingerprint.size();
  const size_t band = static_cast<size_t>(cutLength);
  const size_t bands = length / band;
  std::vector<std::vector<int>> bandNumbers;
  for (size_t b = 0; b < bands; ++b) bandNumbers.push_back({static_cast<int>(b)});
  tableBands_ = selections(bandNumbers, threshold, nullptr);

  for (const SimilarNodePtr& node : similarNodes) {
    node->cutArray.clear();
    for (size_t b = 0; b < bands; ++b) {
      const size_t from = std::min(b * band, node->fingerprint.size());
      const size_t to = std::min(from + band, node->fingerprint.size());
      node->cutArray.emplace_back(node->fingerprint.begin() + static_cast<std::ptrdiff_t>(from),
                                  node->fingerprint.begin() + static_cast<std::ptrdiff_t>(to));
    }
  }

  struct Filing {
    size_t filed = 0;  // touched on serialQueue only
  };
  auto filing = std::make_shared<Filing>();
  const size_t total = similarNodes.size();
  const std::function<bool()> stopped = stopCheck(featureInfo);
  for (const SimilarNodePtr& node : similarNodes) {
    dispatchGlobal(DispatchQoS::default_, [this, node, threshold, stopped, serialQueue, filing,
                                           total, allFinish] {
      std::vector<int64_t> keys;
      for (const std::vector<int>& selection : selections(node->cutArray, threshold, stopped)) {
        keys.push_back(arrayBinary2Dec(selection));
      }
      runOnQueueOrHere(serialQueue, [this, node, keys = std::move(keys), filing, total, allFinish] {
        ++filing->filed;
        for (size_t i = 0; i < keys.size(); ++i) {
          tableDicts[static_cast<int>(i)][keys[i]].push_back(node);
        }
        if (filing->filed == total && allFinish) allFinish();
      });
    });
  }
}

void LSHService::search(const std::vector<SimilarNodePtr>& similarNodes, int cutLength,
                        int tableThrethod, int threthold,
                        const std::shared_ptr<SerialGCDService>& serialQueue,
                        const FeaturePtr& featureInfo, std::function<void(SearchResult)> finish) {
  const std::function<bool()> stopped = stopCheck(featureInfo);
  if (stopped() || similarNodes.empty()) {
    runOnQueueOrHere(serialQueue, [finish] {
      if (finish) finish(SearchResult{});
    });
    return;
  }
  std::vector<std::vector<SimilarNodePtr>> slices;
  size_t from = 0;
  for (size_t size : sliceSizes(similarNodes.size(), cutLength)) {
    slices.emplace_back(similarNodes.begin() + static_cast<std::ptrdiff_t>(from),
                        similarNodes.begin() + static_cast<std::ptrdiff_t>(from + size));
    from += size;
  }

  struct Merge {
    SearchResult result;
    size_t slicesDone = 0;
  };
  auto merge = std::make_shared<Merge>();
  const size_t sliceCount = slices.size();
  const bool ownKeys = bandLookup();
  const bool queryNodeFirst = keyByQueryNode();
  for (std::vector<SimilarNodePtr>& part : slices) {
    dispatchGlobal(DispatchQoS::default_, [this, part = std::move(part), tableThrethod, threthold,
                                           stopped, ownKeys, queryNodeFirst, serialQueue, merge,
                                           sliceCount, finish] {
      SearchResult found;
      if (!stopped()) {
        std::mt19937 random = seededGenerator();
        for (const SimilarNodePtr& node : part) {
          SimilarNodeSet candidates;
          auto consider = [&](const BucketTable& table, int64_t key) {
            auto bucket = table.find(key);
            if (bucket == table.end()) return;
            for (const SimilarNodePtr& other : bucket->second) {
              if (BKTreeService::calculateGrayHamming(node->fingerprint, other->fingerprint, 0) <=
                  threthold) {
                candidates.insert(other);
              }
            }
          };
          const size_t bandCount = node->cutArray.size();
          const size_t draws = std::min(static_cast<size_t>(std::max(tableThrethod, 0)), bandCount);
          if (draws > 0) {
            std::vector<size_t> drawn;
            std::vector<int> bits;
            while (drawn.size() < draws) {
              const size_t b = static_cast<size_t>(random()) % bandCount;
              if (std::find(drawn.begin(), drawn.end(), b) != drawn.end()) continue;
              drawn.push_back(b);
              bits.insert(bits.end(), node->cutArray[b].begin(), node->cutArray[b].end());
            }
            const int64_t key = arrayBinary2Dec(bits);
            for (const auto& [number, table] : tableDicts) consider(table, key);
          }
          if (ownKeys) {
            for (const auto& [number, table] : tableDicts) {
              const size_t index = static_cast<size_t>(number);
              if (index >= tableBands_.size()) continue;
              const std::vector<int>& chosen = tableBands_[index];
              if (!std::is_sorted(chosen.begin(), chosen.end())) continue;  // a reordering
              std::vector<int> bits;
              bool complete = true;
              for (int b : chosen) {
                if (static_cast<size_t>(b) >= bandCount) {
                  complete = false;
                  break;
                }
                const std::vector<int>& bandBits = node->cutArray[static_cast<size_t>(b)];
                bits.insert(bits.end(), bandBits.begin(), bandBits.end());
              }
              if (complete) consider(table, arrayBinary2Dec(bits));
            }
          }
          candidates.insert(node);
          if (candidates.size() > 1) {
            // The member the rest is stored under: the set's first in its
            // iteration order, which begins with the queried node itself
            // when queryNodeFirst is set, else follows the hash order.
            auto first = queryNodeFirst ? candidates.find(node) : candidates.begin();
            SimilarNodePtr key = *first;
            candidates.erase(first);
            SimilarNodeSet& slot = found[key];
            slot.insert(candidates.begin(), candidates.end());
          }
        }
      }
      runOnQueueOrHere(serialQueue,
                       [found = std::move(found), merge, sliceCount, finish]() mutable {
                         for (auto& [key, members] : found) {
                           SimilarNodeSet& slot = merge->result[key];
                           slot.insert(members.begin(), members.end());
                         }
                         if (++merge->slicesDone == sliceCount && finish)
                           finish(std::move(merge->result));
                       });
    });
  }
}

}  // namespace orvexa
