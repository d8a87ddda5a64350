// The grouping stage of the similar-image scan and the rebuild after a
// clean.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "orvexa/platform/file_reader.h"
#include "orvexa/scan/similar_image/similar_scan_service.h"
#include "orvexa/tree/bk_tree_old_service.h"
#include "orvexa/tree/bk_tree_service.h"
#include "orvexa/tree/lsh_service.h"
#include "scan/similar_image/similar_scan_internal.h"

namespace orvexa {
namespace {

// Slices of nodes searched per pool task.
constexpr int kSearchSlice = 100;
// Below this many keys the exhaustive tree pass replaces the table search.
constexpr size_t kSmallSet = 100;
// Thumbnail pixels count as different when their gray levels differ by more.
constexpr int kGrayTolerance = 10;

const ResourceKeys kMemberKeys{ResourceKey::localizedName, ResourceKey::fileSize,
                               ResourceKey::effectiveIcon, ResourceKey::isDirectory,
                               ResourceKey::isPackage};

// One grouping stage; used on the serial queue only.
struct Grouping {
  std::shared_ptr<SerialGCDService> queue;
  FeaturePtr feature;
  CategoryPtr all;
  std::vector<SimilarNodePtr> nodes;  // those whose fingerprints say something
  std::vector<SimilarNodePtr> flat;   // the others (carriesLittleInformation)
  SimilarScanService::KeyMap dict;
  int cutLength = 6;
  int tableThreshold = 3;
  int valueThreshold = 0;
  // SimilarScanService::ignoreBrightness, read once at the start.
  bool ignoreBrightness = false;
  SimilarScanService::Done done;
  std::shared_ptr<PercentService> percent;
};
using GroupingPtr = std::shared_ptr<Grouping>;

bool stopIfSuspended(const GroupingPtr& g) {
  if (!g->feature || !SuperScanService::isSuspended(g->feature->finderID)) return false;
  SimilarScanService::stop(g->feature, g->done);
  return true;
}

std::string lastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

FilePtr newGroup(const CategoryPtr& all, std::string title) {
  auto group = std::make_shared<FileInformation>(0, 0, all->finderID(), std::move(title), Image{},
                                                 0, std::chrono::system_clock::now(), Url(), "",
                                                 false, false, std::any{}, std::vector<FilePtr>{},
                                                 all, raw(FilesKind::Folder), 1, nullptr);
  return group;
}

// Adds the file at `path` as a member of `parentFile` for `node`; a file
// that has vanished is left out.
void addToFileInforamtion(const SimilarNodePtr& node, const std::string& path,
                          const FilePtr& parentFile) {
  FilePtr member =
      SuperScanService::getFileInformationFromUrl(Url::fromPath(path, false), kMemberKeys);
  if (!member) return;
  member->attachInformation = node;
  member->levelInt = 2;
  member->setFinderID(static_cast<int>(parentFile->childrens.size()));
  member->parentFileInfo = parentFile;
  parentFile->size += member->size;
  parentFile->childrens.push_back(std::move(member));
}

void keepIfGroup(const CategoryPtr& all, const FilePtr& group) {
  if (group->childrens.size() < 2) return;
  group->setFinderID(static_cast<int>(all->childrens.size()));
  all->childrens.push_back(group);
}

std::vector<SimilarNodePtr> byPath(std::vector<SimilarNodePtr> nodes) {
  std::sort(nodes.begin(), nodes.end(), [](const SimilarNodePtr& a, const SimilarNodePtr& b) {
    if (a->url.path() != b->url.path()) return a->url.path() < b->url.path();
    return a->name < b->name;
  });
  return nodes;
}

// Whether `member` looks like `key`: fingerprint distance and thumbnail
// gray levels within the limit, both taken without brightness when asked.
bool confirmed(const Grouping& g, const SimilarNode& key, const SimilarNode& member) {
  const int bits = g.ignoreBrightness
                       ? SimilarScanService::brightnessFreeDistance(key.grayData, member.grayData)
                       : SimilarNode::calculateHamming(key.fingerprint, member.fingerprint);
  return bits <= g.valueThreshold &&
         SimilarScanService::grayDistance(key.grayData, member.grayData, kGrayTolerance,
                                          g.ignoreBrightness) <= g.valueThreshold;
}

// The fingerprint distance up to which candidates are looked for: with
// brightness ignored, twice the limit, as a brighter copy's fingerprint also
// differs where its neighbours were nearly level (confirmed() decides).
int searchLimit(const Grouping& g) {
  return g.ignoreBrightness ? 2 * g.valueThreshold : g.valueThreshold;
}

// Candidate sets from the tables, confirmed by fingerprint distance and
// thumbnail gray levels. Entries are taken in the order of their key's path.
void groupCandidates(const GroupingPtr& g, const LSHService::SearchResult& result) {
  std::vector<SimilarNodePtr> keys;
  for (const auto& [key, members] : result) keys.push_back(key);
  for (const SimilarNodePtr& key : byPath(keys)) {
    const SimilarNodeSet& candidates = result.at(key);
    auto files = g->dict.find(key->name);
    const std::string title = files != g->dict.end() && !files->second.empty()
                                  ? files->second.front().path()
                                  : key->url.path();
    FilePtr group = newGroup(g->all, title);
    if (!key->similarHadChoose) {
      addToFileInforamtion(key, key->url.path(), group);
      key->similarHadChoose = true;
    }
    for (const SimilarNodePtr& member :
         byPath(std::vector<SimilarNodePtr>(candidates.begin(), candidates.end()))) {
      if (member->similarHadChoose) continue;
      if (confirmed(*g, *key, *member)) {
        addToFileInforamtion(member, member->url.path(), group);
        member->similarHadChoose = true;
      }
    }
    keepIfGroup(g->all, group);
  }
}

// Small sets: every node against every other through one tree.
void regroupExhaustively(const GroupingPtr& g) {
  g->all->childrens.clear();
  OldBKTreeService tree;
  std::map<std::string, SimilarNodePtr> byKey;
  for (const SimilarNodePtr& node : g->nodes) {
    tree.put(node->fingerprint, node->url.path());
    byKey[node->name] = node;
  }
  std::map<std::string, SimilarNodePtr> byPathName;
  if (g->ignoreBrightness) {
    for (const SimilarNodePtr& node : g->nodes) byPathName[node->url.path()] = node;
  }
  std::map<std::string, std::set<std::string>> recorded;
  for (const SimilarNodePtr& node : g->nodes) {
    std::set<std::string> names = tree.query(node->fingerprint, node->url.path(), searchLimit(*g));
    if (g->ignoreBrightness) {
      // Found by the wider fingerprint search: kept when confirmed.
      std::erase_if(names, [&](const std::string& name) {
        auto other = byPathName.find(name);
        return name != node->url.path() &&
               (other == byPathName.end() || !confirmed(*g, *node, *other->second));
      });
    }
    if (names.size() > 1) recorded[node->name] = std::move(names);
  }
  for (const auto& [key, names] : recorded) {
    FilePtr group = newGroup(g->all, lastComponent(key));
    for (const std::string& name : names) {
      auto node = byKey.find(similar_image::pathWithoutExtension(name));
      if (node != byKey.end()) addToFileInforamtion(node->second, node->second->url.path(), group);
    }
    keepIfGroup(g->all, group);
  }
}

// Keys holding several files (a master with its derivatives, a.jpg with
// a.png) become groups when nothing else did. A sharing name proves
// nothing: a file other than the one fingerprinted joins only when its own
// fingerprint says something and lies within the distance limit.
void groupByName(const GroupingPtr& g) {
  for (const SimilarNodePtr& node : g->nodes) {
    auto files = g->dict.find(node->name);
    if (files == g->dict.end() || files->second.size() < 2) continue;
    FilePtr group = newGroup(g->all, lastComponent(node->name));
    for (const Url& url : files->second) {
      if (url.path() != node->url.path()) {
        auto lists =
            SimilarScanService::getFingerprint(url, SimilarScanService::AlgorithmEnum::DHA);
        if (!lists || SimilarScanService::carriesLittleInformation(std::get<0>(*lists)) ||
            SimilarNode::calculateHamming(std::get<0>(*lists), node->fingerprint) >
                g->valueThreshold) {
          continue;
        }
      }
      addToFileInforamtion(node, url.path(), group);
    }
    keepIfGroup(g->all, group);
  }
}

// True when the two files hold the same bytes (both regular files).
bool sameBytes(const std::string& a, const std::string& b) {
  RegularFile one = RegularFile::open(a);
  RegularFile two = RegularFile::open(b);
  if (!one.ok() || !two.ok() || one.size() != two.size()) return false;
  std::vector<char> x(65536);
  std::vector<char> y(65536);
  for (;;) {
    const ssize_t n = one.read(x.data(), x.size());
    if (n < 0) return false;
    // A regular file gives what is asked for unless it ends first.
    size_t m = 0;
    while (m < static_cast<size_t>(n)) {
      const ssize_t got = two.read(y.data() + m, static_cast<size_t>(n) - m);
      if (got <= 0) return false;
      m += static_cast<size_t>(got);
    }
    if (!std::equal(x.begin(), x.begin() + n, y.begin())) return false;
    if (n == 0) return two.read(y.data(), 1) == 0;
  }
}

// Pictures whose fingerprints say almost nothing: a group for every set of
// byte-identical files among them (every file of their keys), titled with
// the first one's path.
void groupIdenticalFlatPictures(const GroupingPtr& g) {
  std::map<std::uintmax_t, std::vector<std::pair<std::string, SimilarNodePtr>>> bySize;
  for (const SimilarNodePtr& node : g->flat) {
    auto files = g->dict.find(node->name);
    std::vector<Url> urls = files != g->dict.end() ? files->second : std::vector<Url>{node->url};
    for (const Url& url : urls) {
      std::error_code ec;
      const std::uintmax_t size = std::filesystem::file_size(url.path(), ec);
      if (!ec) bySize[size].emplace_back(url.path(), node);
    }
  }
  for (auto& [size, files] : bySize) {
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::vector<size_t>> sets;  // positions in `files`, by content
    for (size_t i = 0; i < files.size(); ++i) {
      auto same = std::find_if(sets.begin(), sets.end(), [&](const std::vector<size_t>& set) {
        return sameBytes(files[set.front()].first, files[i].first);
      });
      if (same != sets.end()) {
        same->push_back(i);
      } else {
        sets.push_back({i});
      }
    }
    for (const std::vector<size_t>& set : sets) {
      if (set.size() < 2) continue;
      FilePtr group = newGroup(g->all, files[set.front()].first);
      for (size_t i : set) addToFileInforamtion(files[i].second, files[i].first, group);
      keepIfGroup(g->all, group);
    }
  }
}

void finishStage(const GroupingPtr& g) {
  if (g->dict.size() < kSmallSet) regroupExhaustively(g);
  if (g->all->childrens.empty()) groupByName(g);
  groupIdenticalFlatPictures(g);
  int64_t total = 0;
  for (const FilePtr& group : g->all->childrens) total += group->size;
  g->all->size = total;
  if (g->percent) {
    g->percent->progressStep();
    g->percent->stopTime();
    if (SuperScanService::percent() == g->percent) SuperScanService::setPercent(nullptr);
  }
  similar_image::logInfo(similar_image::kFinishLine);
  if (g->feature) SuperScanService::setScanStatus(g->feature->finderID, ScanState::end);
  if (g->done) g->done(g->feature, total);
}

}  // namespace

void SimilarScanService::NewLSHSearch(const std::shared_ptr<SerialGCDService>& serialQueue,
                                      const FeaturePtr& featureInfo, const CategoryPtr& allCategory,
                                      std::vector<SimilarNodePtr> resultSet, KeyMap Dict,
                                      int cutLength, int tablethreshold, int valuethreshold,
                                      ShowPercent /*showPercent*/, Done done,
                                      const std::shared_ptr<PercentService>& percent) {
  auto g = std::make_shared<Grouping>();
  g->queue = serialQueue;
  g->feature = featureInfo;
  g->all = allCategory;
  for (SimilarNodePtr& node : byPath(std::move(resultSet))) {
    (carriesLittleInformation(node->fingerprint) ? g->flat : g->nodes).push_back(std::move(node));
  }
  g->dict = std::move(Dict);
  g->cutLength = cutLength;
  g->tableThreshold = tablethreshold;
  g->valueThreshold = valuethreshold;
  g->ignoreBrightness = ignoreBrightness.load(std::memory_order_relaxed);
  // Keys of two bands find the candidates of the wider search.
  if (g->ignoreBrightness) g->tableThreshold = std::min(tablethreshold, 2);
  g->done = std::move(done);
  g->percent = percent;
  runOnQueueOrHere(serialQueue, [g] {
    if (stopIfSuspended(g)) return;
    if (!g->all) {
      g->all = std::make_shared<CategoryInformation>(
          0, 0, "All", Image{}, 0, "", raw(CategoryInfomationKind::Common), std::vector<Url>{},
          std::vector<FilePtr>{}, g->feature, std::any{}, 0, false);
    }
    if (g->nodes.empty()) {
      finishStage(g);
      return;
    }
    LSHService& lsh = LSHService::shard();
    lsh.generaTable(g->queue, g->nodes, g->cutLength, g->tableThreshold, g->feature, [g, &lsh] {
      if (stopIfSuspended(g)) return;
      lsh.search(g->nodes, kSearchSlice, g->tableThreshold, searchLimit(*g), g->queue, g->feature,
                 [g](LSHService::SearchResult result) {
                   if (stopIfSuspended(g)) return;
                   groupCandidates(g, result);
                   finishStage(g);
                 });
    });
  });
}

int SimilarScanService::grayDistance(const std::vector<int>& a, const std::vector<int>& b,
                                     int tolerance, bool ignoreMean) {
  if (!ignoreMean) return BKTreeService::calculateGrayHamming(a, b, tolerance);
  const size_t n = std::min(a.size(), b.size());
  if (n == 0) return 0;
  // In sixteenths of a level, so that a rounded mean does not push pixels
  // just inside the tolerance out of it.
  int64_t sumA = 0;
  int64_t sumB = 0;
  for (size_t i = 0; i < n; ++i) {
    sumA += a[i];
    sumB += b[i];
  }
  const auto count = static_cast<int64_t>(n);
  int distance = 0;
  for (size_t i = 0; i < n; ++i) {
    const int64_t da = a[i] * count * 16 - sumA * 16;
    const int64_t db = b[i] * count * 16 - sumB * 16;
    if (std::abs(da - db) > static_cast<int64_t>(tolerance) * count * 16) ++distance;
  }
  return distance;
}

int SimilarScanService::brightnessFreeDistance(const std::vector<int>& a,
                                               const std::vector<int>& b) {
  constexpr size_t kWidth = 7;
  constexpr int kLevelTolerance = 2;
  const size_t n = std::min(a.size(), b.size());
  int distance = 0;
  for (size_t i = 1; i < n; ++i) {
    if (i % kWidth == 0) continue;  // no pair across rows, as in the fingerprint
    const int stepA = a[i - 1] - a[i];
    const int stepB = b[i - 1] - b[i];
    if ((stepA > 0) != (stepB > 0) && std::abs(stepA - stepB) > kLevelTolerance) ++distance;
  }
  return distance;
}

bool SimilarScanService::carriesLittleInformation(const std::vector<int>& fingerprint) {
  const auto ones = static_cast<size_t>(std::count(fingerprint.begin(), fingerprint.end(), 1));
  const size_t minority = std::min(ones, fingerprint.size() - ones);
  return minority < static_cast<size_t>(kInformativeBits);
}

SimilarScanService::SortResult SimilarScanService::sortCategory(const CategoryPtr& allCategory) {
  int64_t deleted = 0;
  std::vector<FilePtr> failures;
  std::string errors;
  if (!allCategory) return {deleted, failures, errors};
  std::vector<size_t> dropGroups;
  for (size_t i = 0; i < allCategory->childrens.size(); ++i) {
    const FilePtr& group = allCategory->childrens[i];
    std::vector<size_t> removed;
    for (size_t j = 0; j < group->childrens.size(); ++j) {
      const FilePtr& member = group->childrens[j];
      if (member->deleteStatus == raw(DeleteStatus::DeleteSuccess)) {
        removed.push_back(j);
        deleted += member->size;
      } else if (member->deleteStatus == raw(DeleteStatus::Deleteing) ||
                 member->deleteStatus == raw(DeleteStatus::DeleteError)) {
        member->state = 0;
        failures.push_back(member);
        errors += member->deleteErrorDesc;
      }
    }
    if (removed.size() == group->childrens.size()) {
      dropGroups.push_back(i);
      continue;
    }
    for (auto j = removed.rbegin(); j != removed.rend(); ++j) {
      group->childrens.erase(group->childrens.begin() + static_cast<std::ptrdiff_t>(*j));
    }
    if (group->childrens.size() < 2) dropGroups.push_back(i);
    int64_t size = 0;
    for (size_t j = 0; j < group->childrens.size(); ++j) {
      group->childrens[j]->setFinderID(static_cast<int>(j));
      group->childrens[j]->state = 0;
      size += group->childrens[j]->size;
    }
    group->size = size;
    group->state = 0;
  }
  for (auto i = dropGroups.rbegin(); i != dropGroups.rend(); ++i) {
    allCategory->childrens.erase(allCategory->childrens.begin() + static_cast<std::ptrdiff_t>(*i));
  }
  int64_t size = 0;
  for (size_t i = 0; i < allCategory->childrens.size(); ++i) {
    allCategory->childrens[i]->setFinderID(static_cast<int>(i));
    allCategory->childrens[i]->state = 0;
    size += allCategory->childrens[i]->size;
  }
  allCategory->state = 0;
  allCategory->size = size;
  return {deleted, failures, errors};
}

}  // namespace orvexa
