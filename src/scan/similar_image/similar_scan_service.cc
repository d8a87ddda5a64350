// The driver of the similar-image scan: start, discovery, library steps,
// fingerprints and the hand-over to the grouping stage.
#include "orvexa/scan/similar_image/similar_scan_service.h"

#include <atomic>
#include <mutex>
#include <set>
#include <utility>

#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/paths.h"
#include "orvexa/units/terminal_tool.h"
#include "scan/similar_image/similar_scan_internal.h"

namespace orvexa {
namespace {

using similar_image::Discovered;

constexpr int kCutLength = 6;

// One scan run. The fields below `locations` are touched only on `queue`;
// `ended` may be read anywhere.
struct ScanRun {
  FeaturePtr feature;
  CategoryPtr all;
  int threshold = 0;
  SimilarScanService::ShowPercent showPercent;
  SimilarScanService::Done done;
  std::shared_ptr<SerialGCDService> queue;
  DispatchQoS qos = DispatchQoS::userInitiated;
  std::shared_ptr<PercentService> percent;
  std::vector<Url> locations;
  // Whether finishing discovery is progress step 1 (it is not when the
  // driver already counted it before handing over to the walk).
  bool discoveryStep = false;

  size_t locationsFinished = 0;
  size_t walksFinished = 0;
  bool walked = false;
  std::set<std::string> commonPicture;
  std::set<std::string> libraryPicture;
  std::set<std::string> library;
  SimilarScanService::KeyMap keyMap;
  size_t libraryReports = 0;
  size_t libraryCount = 1;
  std::vector<SimilarNodePtr> nodes;
  size_t nodeReports = 0;
  size_t keyCount = 0;
  bool halfStepDone = false;

  // Set once the stop path or the grouping stage has taken over: nothing
  // else of this run may act after that.
  std::atomic<bool> ended{false};
};
using RunPtr = std::shared_ptr<ScanRun>;

std::mutex gHookMu;
std::function<void(const Url&)> gFingerprintHook;  // guarded by gHookMu

void callFingerprintHook(const Url& url) {
  std::function<void(const Url&)> hook;
  {
    std::lock_guard lock(gHookMu);
    hook = gFingerprintHook;
  }
  if (hook) hook(url);
}

bool isSuspended(const RunPtr& run) {
  return run->feature && SuperScanService::isSuspended(run->feature->finderID);
}

// True when the run may not go on: it has ended, or it is suspended, in
// which case the stop path runs now (once).
bool haltIfStopped(const RunPtr& run) {
  if (run->ended.load()) return true;
  if (!isSuspended(run)) return false;
  if (!run->ended.exchange(true)) SimilarScanService::stop(run->feature, run->done);
  return true;
}

void progressStep(const RunPtr& run) {
  if (run->percent) run->percent->progressStep();
}

void merge(const RunPtr& run, const Discovered& found) {
  run->commonPicture.insert(found.commonPicture.begin(), found.commonPicture.end());
  run->libraryPicture.insert(found.libraryPicture.begin(), found.libraryPicture.end());
  run->library.insert(found.library.begin(), found.library.end());
}

void afterDiscovery(const RunPtr& run);

void nodeStep(const RunPtr& run, const std::string& key, const Url& url,
              std::optional<SimilarScanService::FingerprintLists> lists) {
  if (haltIfStopped(run)) return;
  if (lists) {
    auto& [fingerprint, gray, mean] = *lists;
    run->nodes.push_back(std::make_shared<SimilarNode>(url, key, std::move(fingerprint),
                                                       std::move(gray), std::move(mean)));
  }
  ++run->nodeReports;
  if (!run->halfStepDone && run->nodeReports * 2 >= run->keyCount) {
    run->halfStepDone = true;
    progressStep(run);
  }
  if (run->nodeReports < run->keyCount) return;
  run->ended = true;  // the grouping stage ends the scan from here on
  SimilarScanService::NewLSHSearch(run->queue, run->feature, run->all, std::move(run->nodes),
                                   std::move(run->keyMap), kCutLength,
                                   SimilarScanService::tableThresholdFor(run->threshold),
                                   run->threshold, run->showPercent, run->done, run->percent);
}

void fingerprintStep(const RunPtr& run, const SimilarScanService::KeyMap& partial) {
  if (haltIfStopped(run)) return;
  for (const auto& [key, urls] : partial) {
    std::vector<Url>& list = run->keyMap[key];
    list.insert(list.end(), urls.begin(), urls.end());
  }
  if (++run->libraryReports < run->libraryCount) return;
  progressStep(run);
  for (const std::string& path : run->commonPicture) {
    run->keyMap[similar_image::pathWithoutExtension(path)].push_back(Url::fromPath(path, false));
  }
  run->keyCount = run->keyMap.size();
  if (run->keyCount == 0) {
    run->halfStepDone = true;
    progressStep(run);
    run->ended = true;
    SimilarScanService::NewLSHSearch(run->queue, run->feature, run->all, {}, {}, kCutLength,
                                     SimilarScanService::tableThresholdFor(run->threshold),
                                     run->threshold, run->showPercent, run->done, run->percent);
    return;
  }
  for (const auto& [key, urls] : run->keyMap) {
    runOnPoolOrHere(run->qos, [run, key = key, url = urls.back()] {
      std::optional<SimilarScanService::FingerprintLists> lists;
      if (!run->ended.load() && !isSuspended(run)) {
        callFingerprintHook(url);
        if (!run->ended.load() && !isSuspended(run)) {
          lists = SimilarScanService::getFingerprint(url, SimilarScanService::AlgorithmEnum::DHA);
        }
      }
      runOnQueueOrHere(run->queue, [run, key, url, lists = std::move(lists)]() mutable {
        nodeStep(run, key, url, std::move(lists));
      });
    });
  }
}

void libraryStep(const RunPtr& run, const std::string& root, std::vector<std::string> pictures) {
  runOnPoolOrHere(run->qos, [run, root, pictures = std::move(pictures)] {
    SimilarScanService::KeyMap keys;
    if (!run->ended.load() && !isSuspended(run)) {
      keys = similar_image::fileLibraryPictures(root, pictures);
    }
    runOnQueueOrHere(run->queue, [run, keys = std::move(keys)] { fingerprintStep(run, keys); });
  });
}

void walkFinished(const RunPtr& run, const Discovered& found) {
  if (run->ended.load()) return;
  merge(run, found);
  ++run->walksFinished;
  if (haltIfStopped(run)) return;
  if (run->walksFinished < run->locations.size()) return;
  if (run->discoveryStep) progressStep(run);
  afterDiscovery(run);
}

void walk(const RunPtr& run) {
  run->walked = true;
  if (run->locations.empty()) {
    if (run->discoveryStep) progressStep(run);
    afterDiscovery(run);
    return;
  }
  for (const Url& location : run->locations) {
    runOnPoolOrHere(run->qos, [run, path = location.path()] {
      Discovered found;
      if (!run->ended.load()) {
        found = similar_image::walkLocation(path, [run] { return isSuspended(run); });
      }
      runOnQueueOrHere(run->queue, [run, found = std::move(found)] { walkFinished(run, found); });
    });
  }
}

void afterDiscovery(const RunPtr& run) {
  if (run->commonPicture.empty() && run->libraryPicture.empty() && !run->walked) {
    walk(run);
    return;
  }
  for (const std::string& picture : run->libraryPicture) {
    run->library.insert(similar_image::libraryRootOf(picture));
  }
  if (!run->library.empty() && !run->libraryPicture.empty()) {
    run->libraryCount = run->library.size();
    for (const std::string& root : run->library) {
      std::vector<std::string> pictures;
      const std::string prefix = root + "/";
      for (const std::string& picture : run->libraryPicture) {
        if (picture.compare(0, prefix.size(), prefix) == 0) pictures.push_back(picture);
      }
      libraryStep(run, root, std::move(pictures));
    }
    return;
  }
  run->libraryCount = 1;
  fingerprintStep(run, {});
}

void locationFinished(const RunPtr& run, const Discovered& found) {
  if (run->ended.load()) return;
  ++run->locationsFinished;
  merge(run, found);
  if (haltIfStopped(run)) return;
  if (run->locationsFinished < run->locations.size()) return;
  progressStep(run);
  afterDiscovery(run);
}

// The location task: the two metadata queries, or nothing when the query
// tool is missing (the walk then stands in for them).
void discoverLocation(const RunPtr& run, const Url& location) {
  const std::string tool = Paths::shared().tool("mdfind");
  if (run->ended.load() || !fileExists(tool)) {
    runOnQueueOrHere(run->queue, [run] { locationFinished(run, {}); });
    return;
  }
  struct Searches {
    Discovered found;
    int reported = 0;  // touched on the queue only
  };
  auto searches = std::make_shared<Searches>();
  auto reported = [run, searches] {
    if (++searches->reported == 2) locationFinished(run, searches->found);
  };
  const TerminalUtilsClass runner(run->feature->finderID);
  runner.realTimeRunTerminal(tool,
                             {"-onlyin", location.path(), "kMDItemKind == '*Photos Library*'"},
                             *run->queue, [searches, reported](std::string output) {
                               similar_image::takeLibraryQueryOutput(output, searches->found);
                               reported();
                             });
  runner.realTimeRunTerminal(tool, {"-onlyin", location.path(), "kMDItemKind == *image*"},
                             *run->queue, [run, searches, reported](std::string output) {
                               similar_image::takeImageQueryOutput(
                                   output, [run] { return isSuspended(run); }, searches->found);
                               reported();
                             });
}

// A new run with the feature's categories replaced by "All" (unless the
// caller brings its own).
RunPtr makeRun(const FeaturePtr& featureInfo, const std::vector<Url>& Paths, int thresholdValue,
               CategoryPtr allCategory, SimilarScanService::ShowPercent showPercent,
               SimilarScanService::Done done, const std::shared_ptr<SerialGCDService>& dispatch,
               std::shared_ptr<PercentService> percent, DispatchQoS qosClass) {
  auto run = std::make_shared<ScanRun>();
  run->feature = featureInfo;
  if (!allCategory) {
    allCategory = std::make_shared<CategoryInformation>(
        0, 0, "All", Image{}, 0, "", raw(CategoryInfomationKind::Common), std::vector<Url>{},
        std::vector<FilePtr>{}, featureInfo, std::any{}, 0, false);
    featureInfo->categoryInfo = {allCategory};
  }
  run->all = std::move(allCategory);
  run->all->scanRoots = Paths;  // a clean acts only inside the folders searched
  run->threshold = thresholdValue;
  run->showPercent = std::move(showPercent);
  run->done = std::move(done);
  run->queue =
      dispatch ? dispatch : std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
  run->qos = qosClass;
  run->percent = std::move(percent);
  run->locations = Paths;
  return run;
}

}  // namespace

void SimilarScanService::setFingerprintHookForTesting(std::function<void(const Url&)> hook) {
  std::lock_guard lock(gHookMu);
  gFingerprintHook = std::move(hook);
}

void SimilarScanService::scan(const FeaturePtr& featureInfo, const std::vector<Url>& Paths,
                              int thresholdValue, ProgressFunc progress, ShowPercent showPercent,
                              SingleDone singleDone, Done done,
                              const std::shared_ptr<SerialGCDService>& dispatch,
                              DispatchQoS qosClass) {
  scanProAPISimilar(Paths, featureInfo, thresholdValue, std::move(progress), std::move(showPercent),
                    std::move(singleDone), std::move(done), dispatch, qosClass);
}

void SimilarScanService::scanProAPISimilar(const std::vector<Url>& Paths,
                                           const FeaturePtr& featureInfo, int thresholdValue,
                                           ProgressFunc progress, ShowPercent showPercent,
                                           SingleDone /*singleDone*/, Done done,
                                           const std::shared_ptr<SerialGCDService>& dispatch,
                                           DispatchQoS qosClass) {
  if (!featureInfo) return;
  if (!ScanStatusTable::tryStart(featureInfo->finderID)) {
    similar_image::logInfo(similar_image::kScanningLine);
    return;
  }
  similar_image::logInfo(similar_image::kStartLine);
  auto percent = std::make_shared<PercentService>(std::move(progress), 4);
  setPercent(percent);
  percent->startTime();
  RunPtr run = makeRun(featureInfo, Paths, thresholdValue, nullptr, std::move(showPercent),
                       std::move(done), dispatch, percent, qosClass);
  if (run->locations.empty()) {
    runOnQueueOrHere(run->queue, [run] {
      progressStep(run);
      afterDiscovery(run);
    });
    return;
  }
  for (const Url& location : run->locations) {
    runOnPoolOrHere(qosClass, [run, location] { discoverLocation(run, location); });
  }
}

void SimilarScanService::scanProCommon(const std::vector<Url>& Paths, const FeaturePtr& featureInfo,
                                       int thresholdValue, const CategoryPtr& allCategory,
                                       ProgressFunc /*progress*/, ShowPercent showPercent,
                                       SingleDone /*singleDone*/, Done done,
                                       const std::shared_ptr<SerialGCDService>& dispatch,
                                       const std::shared_ptr<PercentService>& percent,
                                       DispatchQoS qosClass) {
  if (!featureInfo) return;
  RunPtr run = makeRun(featureInfo, Paths, thresholdValue, allCategory, std::move(showPercent),
                       std::move(done), dispatch, percent, qosClass);
  run->discoveryStep = true;
  runOnQueueOrHere(run->queue, [run] { walk(run); });
}

void SimilarScanService::stop(const FeaturePtr& featureInfo, const Done& done) {
  similar_image::logInfo(similar_image::kSuspendLine);
  if (featureInfo) setScanStatus(featureInfo->finderID, ScanState::end);
  if (done) done(featureInfo, 0);
}

}  // namespace orvexa
