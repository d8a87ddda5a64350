// The duplicate scan: start, walk and reading stages.
#include "orvexa/scan/duplicate/duplicate_scan_service.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "orvexa/units/log_service.h"
#include "orvexa/units/swift_file_hash.h"
#include "scan/duplicate/content_matcher.h"
#include "scan/duplicate/duplicate_scan_queue.h"
#include "scan/duplicate/duplicate_walk.h"
#include "scan/duplicate/hash_cache.h"

namespace orvexa {

using duplicate_internal::Candidate;
using duplicate_internal::MatchedGroup;

namespace {

// The working tables of one scan; touched only by pieces of the host's queue.
struct ScanTables {
  DuplicateScanService::SizeTable preSizeAndFilePath;
  DuplicateScanService::SizeTable sizeAndFolderPath;
  size_t rootsLeft = 0;
};

void addToTables(ScanTables& tables, duplicate_internal::WalkOutput output) {
  for (DuplicateInfo& file : output.files) {
    const int64_t size = file.fileSize;
    tables.preSizeAndFilePath[size].push_back(std::move(file));
  }
  for (DuplicateInfo& folder : output.folders) {
    const int64_t size = folder.fileSize;
    tables.sizeAndFolderPath[size].push_back(std::move(folder));
  }
}

// Files of one size that may be copies: sorted by path, each path and each
// inode once (of hard links, the path that sorts first).
std::vector<Candidate> fileCandidates(std::vector<DuplicateInfo>& files) {
  std::sort(files.begin(), files.end(), [](const DuplicateInfo& a, const DuplicateInfo& b) {
    return a.path.path() < b.path.path();
  });
  std::set<std::pair<uint64_t, uint64_t>> inodes;
  std::vector<Candidate> set;
  for (const DuplicateInfo& f : files) {
    if (!inodes.insert({f.device, f.inode}).second) continue;
    set.push_back({f.path.path(), f.fileSize, f.device, f.inode, f.modifiedNs, f.changedNs});
  }
  return set;
}

// Folders of one size that may be copies: each path once, split by the sizes
// of the files below them (copies agree on those).
std::vector<std::vector<Candidate>> folderCandidates(std::vector<DuplicateInfo>& folders) {
  std::sort(folders.begin(), folders.end(), [](const DuplicateInfo& a, const DuplicateInfo& b) {
    return a.path.path() < b.path.path();
  });
  std::map<std::set<int64_t>, std::vector<Candidate>> bySizes;
  std::set<std::string> seen;
  for (const DuplicateInfo& f : folders) {
    if (!seen.insert(f.path.path()).second) continue;
    bySizes[f.sizeList].push_back({f.path.path(), f.fileSize});
  }
  std::vector<std::vector<Candidate>> sets;
  for (auto& [sizes, set] : bySizes) {
    if (set.size() >= 2) sets.push_back(std::move(set));
  }
  return sets;
}

// The walk records of a matched group, in the group's order.
std::vector<DuplicateInfo> recordsOf(const MatchedGroup& group,
                                     const std::unordered_map<std::string, DuplicateInfo>& byPath) {
  std::vector<DuplicateInfo> records;
  for (const Candidate& c : group.members) {
    auto found = byPath.find(c.path);
    if (found != byPath.end()) records.push_back(found->second);
  }
  return records;
}

}  // namespace

void DuplicateScanService::scanDuplicate(const FeaturePtr& featureInfo,
                                         const std::vector<Url>& scanPaths, Progress progress,
                                         ShowPercent showPercent, SingleDone singleDone, Done done,
                                         const std::shared_ptr<SerialGCDService>& dispatch,
                                         DispatchQoS qosClass) {
  if (!featureInfo) return;
  duplicate_internal::logInfo("Start Duplicate FeatureInfo:" +
                              std::to_string(featureInfo->finderID));
  scanProDuplicate(featureInfo, scanPaths, std::move(progress), std::move(showPercent),
                   std::move(singleDone), std::move(done), dispatch, qosClass);
}

void DuplicateScanService::scanProDuplicate(const FeaturePtr& featureInfo,
                                            const std::vector<Url>& scanPaths, Progress progress,
                                            ShowPercent showPercent, SingleDone singleDone,
                                            Done done,
                                            const std::shared_ptr<SerialGCDService>& dispatch,
                                            DispatchQoS qosClass) {
  if (!featureInfo || !dispatch) return;
  const int64_t scanID = featureInfo->finderID;
  if (!ScanStatusTable::tryStart(scanID)) {
    duplicate_internal::logInfo("DuplicateScanService Scanning");
    return;
  }
  SwiftFileHashUnit::shard().scanState = static_cast<int>(ScanState::start);
  duplicate_internal::logInfo("DuplicateScanService Start");

  auto settings = std::make_shared<duplicate_internal::WalkSettings>();
  settings->minimumBytes = limitSize.load() * 1024;
  settings->skip = duplicate_internal::libraryFolders();
  settings->scanID = scanID;
  settings->progress = progress;

  // A clean acts only inside the folders searched.
  std::vector<CategoryPtr> categories = featureInfo->categoryInfo;
  while (!categories.empty()) {
    CategoryPtr category = categories.back();
    categories.pop_back();
    if (!category) continue;
    category->scanRoots = scanPaths;
    if (category->childrenCateogry) {
      categories.insert(categories.end(), category->childrenCateogry->begin(),
                        category->childrenCateogry->end());
    }
  }

  duplicate_internal::RootList roots = duplicate_internal::buildRootList(scanPaths, *settings);
  if (roots.folders.empty() && roots.entries.files.empty()) {
    duplicate_internal::logInfo("DuplicateScanService Finish-0");
    setScanStatus(scanID, ScanState::end);
    if (done) done(featureInfo, 0);
    return;
  }

  auto percent = std::make_shared<PercentService>(showPercent, 4);
  setPercent(percent);
  percent->startTime();

  auto tables = std::make_shared<ScanTables>();
  tables->rootsLeft = roots.folders.size() + 1;  // + the entries found above
  auto backTrackingFinish = [=] {
    if (--tables->rootsLeft != 0) return;
    percent->progressStep();
    analysisDataForDuplicate(std::move(tables->preSizeAndFilePath),
                             std::move(tables->sizeAndFolderPath), featureInfo, progress,
                             showPercent, singleDone, done, dispatch, percent, qosClass);
  };
  runOnQueueOrHere(dispatch, [=, entries = std::move(roots.entries)]() mutable {
    addToTables(*tables, std::move(entries));
    backTrackingFinish();
  });
  for (const std::string& root : roots.folders) {
    auto walk = [=] {
      auto output = std::make_shared<duplicate_internal::WalkOutput>();
      duplicate_internal::folderBackTracking(root, *settings, *output);
      runOnQueueOrHere(dispatch, [=] {
        addToTables(*tables, std::move(*output));
        backTrackingFinish();
      });
    };
    runOnPoolOrHere(qosClass, walk);
  }
}

void DuplicateScanService::analysisDataForDuplicate(
    SizeTable preSizeAndFilePath, SizeTable sizeAndFolderPath, const FeaturePtr& featureInfo,
    Progress progress, ShowPercent showPercent, SingleDone singleDone, Done done,
    const std::shared_ptr<SerialGCDService>& dispatch,
    std::shared_ptr<PercentService> percentService, DispatchQoS qosClass) {
  // Only sizes that occur more than once can hold copies; the tables are
  // ordered by size.
  auto files = std::make_shared<std::unordered_map<std::string, DuplicateInfo>>();
  auto folders = std::make_shared<std::unordered_map<std::string, DuplicateInfo>>();
  std::vector<std::vector<Candidate>> fileSets;
  for (auto& [size, list] : preSizeAndFilePath) {
    if (list.size() < 2) continue;
    std::vector<Candidate> set = fileCandidates(list);
    if (set.size() < 2) continue;
    for (DuplicateInfo& f : list) files->emplace(f.path.path(), std::move(f));
    fileSets.push_back(std::move(set));
  }
  std::vector<std::vector<Candidate>> folderSets;
  for (auto& [size, list] : sizeAndFolderPath) {
    if (list.size() < 2) continue;
    for (std::vector<Candidate>& set : folderCandidates(list)) folderSets.push_back(std::move(set));
    for (DuplicateInfo& f : list) folders->emplace(f.path.path(), std::move(f));
  }

  auto organise = [=](std::vector<MatchedGroup> fileGroups,
                      std::vector<MatchedGroup> folderGroups) {
    DigestTable MD5AndFileInfo;
    DigestTable MD5AndFolderInfo;
    for (const MatchedGroup& g : fileGroups) MD5AndFileInfo[g.key] = recordsOf(g, *files);
    for (const MatchedGroup& g : folderGroups) MD5AndFolderInfo[g.key] = recordsOf(g, *folders);
    if (percentService) percentService->progressStep();
    organizeDataForDuplicate(std::move(MD5AndFileInfo), std::move(MD5AndFolderInfo), featureInfo,
                             progress, showPercent, singleDone, done, dispatch, percentService);
  };
  duplicate_internal::matchFiles(
      std::move(fileSets), qosClass,
      [organise, folderSets = std::move(folderSets), qosClass](
          std::vector<MatchedGroup> fileGroups, duplicate_internal::DigestCache cache) mutable {
        duplicate_internal::matchFolders(std::move(folderSets), std::move(cache), qosClass,
                                         [organise, fileGroups = std::move(fileGroups)](
                                             std::vector<MatchedGroup> folderGroups) mutable {
                                           organise(std::move(fileGroups), std::move(folderGroups));
                                         });
      },
      DuplicateScanService::useDigestCache ? duplicate_internal::HashCache::defaultPath() : "");
}

}  // namespace orvexa
