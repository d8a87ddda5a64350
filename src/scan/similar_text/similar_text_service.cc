// The similar-document scan: walk, extract, measure, group.
#include "orvexa/scan/similar_text/similar_text_service.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>

#include "orvexa/scan/similar_text/document_candidates.h"
#include "orvexa/scan/similar_text/document_groups.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/queue_or_here.h"

namespace orvexa {
namespace {

// Progress steps of the stages; they add up to kTotalSteps.
constexpr int64_t kWalkSteps = 2;
constexpr int64_t kExtractSteps = 48;
constexpr int64_t kSingleSteps = 8;  // of the measuring
constexpr int64_t kMeasureSteps = 48;
constexpr int64_t kTotalSteps = 100;
// Displayed progress may advance by up to 20 % a second.
constexpr float kStepsPerTick = 2.0f;

void logInfo(const std::string& text) {
  LogService::shard().log(LogService::LogLevel::Info, "SimilarTextScanService " + text);
}

std::atomic<std::FILE*>& traceSlot() {
  static std::atomic<std::FILE*> slot{stdout};
  return slot;
}

void trace(const char* line) {
  if (std::FILE* out = traceSlot().load()) {
    std::fputs(line, out);
    std::fputc('\n', out);
  }
}

// The extension as the platform gives it: the text after the last ".",
// nothing for a name without one or that only starts with one.
std::string_view pathExtension(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

// One scan. Fields under "dispatch only" are touched by pieces of `dispatch`
// only; the atomics are shared with the pool workers.
struct Scan {
  FeaturePtr feature;
  int64_t scanID = 0;
  int threshold = 0;
  bool exhaustive = false;
  SimilarTextService::Progress progress;
  SimilarTextService::SingleDone singleDone;
  SimilarTextService::Done done;
  std::shared_ptr<SerialGCDService> dispatch;
  DispatchQoS qos = DispatchQoS::default_;
  std::shared_ptr<PercentService> percent;
  CategoryPtr all;
  std::atomic<int64_t> stepsIssued{0};

  // dispatch only
  size_t locationsLeft = 0;
  size_t workersLeft = 0;
  std::map<Url, int64_t> found;          // document -> file size
  std::map<Url, std::string> documents;  // document -> text, as extracted

  // Fixed before the workers of a stage start.
  std::vector<Url> files;
  std::shared_ptr<SimilarTextMeasurement> measurement;
  std::vector<MinHashSignature> signatures;
  std::vector<std::pair<uint32_t, uint32_t>> candidates;  // when not exhaustive
  std::atomic<size_t> nextItem{0};
  std::atomic<size_t> itemsDone{0};
  std::atomic<uint64_t> pairsDone{0};
};
using ScanPtr = std::shared_ptr<Scan>;

// Issues the progress steps up to `target` that no one has issued yet.
void advanceTo(Scan& scan, int64_t target) {
  int64_t issued = scan.stepsIssued.load();
  while (issued < target && !scan.stepsIssued.compare_exchange_weak(issued, target)) {
  }
  for (; issued < target; ++issued) scan.percent->progressStep();
}

void finishStopped(const ScanPtr& scan) {
  logInfo("Suspend");
  SuperScanService::setScanStatus(scan->scanID, ScanState::end);
  if (scan->done) scan->done(scan->feature, 0);
}

size_t workerCount(size_t items) { return std::min(items, dispatchGlobalCoreThreads()); }

// Starts `count` pool workers running `body`; when every one has returned,
// `allDone` runs on the scan's queue. A worker the pool cannot start counts
// as returned at once.
void runWorkers(const ScanPtr& scan, size_t count, const std::function<void()>& body,
                const std::function<void()>& allDone) {
  scan->workersLeft = count;
  auto workerDone = [scan, allDone] {
    runOnQueueOrHere(scan->dispatch, [scan, allDone] {
      if (--scan->workersLeft == 0) allDone();
    });
  };
  for (size_t w = 0; w < count; ++w) {
    if (!dispatchGlobal(scan->qos, [body, workerDone] {
          body();
          workerDone();
        })) {
      workerDone();
    }
  }
}

std::vector<FilePtr> membersOf(const SimilarTextMeasurement& m,
                               const std::vector<GroupedDocument>& group, const FilePtr& record) {
  static const ResourceKeys kKeys{ResourceKey::localizedName, ResourceKey::fileSize,
                                  ResourceKey::effectiveIcon, ResourceKey::isDirectory,
                                  ResourceKey::isPackage};
  std::vector<FilePtr> members;
  for (const GroupedDocument& doc : group) {
    FilePtr member = SuperScanService::getFileInformationFromUrl(m.urls[doc.index], kKeys);
    if (!member) continue;  // vanished since it was read
    member->attachInformation = SimilarTextMatch{m.urls[doc.nearest], doc.distance};
    member->levelInt = 2;
    member->setFinderID(static_cast<int>(members.size()));
    member->parentFileInfo = record;
    members.push_back(std::move(member));
  }
  return members;
}

// Fills the "All" category; returns the total size of the group members.
int64_t fillCategory(const ScanPtr& scan) {
  const SimilarTextMeasurement& m = *scan->measurement;
  const CategoryPtr& all = scan->all;
  int64_t total = 0;
  for (const std::vector<GroupedDocument>& group :
       groupSimilarDocuments(m.sizes, scan->threshold, &m.texts)) {
    auto record = std::make_shared<FileInformation>(
        0, static_cast<int>(all->childrens.size()), all->finderID(),
        m.urls[group.front().index].path(), Image(), 0, std::chrono::system_clock::now(), Url(), "",
        false, false, std::any{}, std::vector<FilePtr>{}, all, raw(FilesKind::Folder), 1, nullptr);
    record->childrens = membersOf(m, group, record);
    if (record->childrens.size() < 2) continue;
    for (const FilePtr& member : record->childrens) record->size += member->size;
    record->setFinderID(static_cast<int>(all->childrens.size()));
    total += record->size;
    all->childrens.push_back(std::move(record));
  }
  all->size = total;
  return total;
}

// On dispatch, once every pair to measure has been measured.
void afterMeasuring(const ScanPtr& scan) {
  if (SuperScanService::isSuspended(scan->scanID)) return finishStopped(scan);
  trace("finish");
  if (std::FILE* out = traceSlot().load()) std::fflush(out);
  if (scan->singleDone) scan->singleDone(0, scan->measurement);
  const int64_t total = fillCategory(scan);
  advanceTo(*scan, kTotalSteps);
  scan->percent->stopTime();
  logInfo("Finish");
  SuperScanService::setScanStatus(scan->scanID, ScanState::end);
  if (scan->done) scan->done(scan->feature, total);
}

// On dispatch, once every single size (and signature) has been measured:
// measures the pairs, every pair or the candidates, keeping those within the
// threshold.
void measurePairs(const ScanPtr& scan) {
  if (SuperScanService::isSuspended(scan->scanID)) return finishStopped(scan);
  const std::shared_ptr<SimilarTextMeasurement> m = scan->measurement;
  const size_t n = m->urls.size();
  scan->nextItem = 0;
  scan->itemsDone = 0;
  const int64_t scanID = scan->scanID;
  const int64_t base = kWalkSteps + kExtractSteps + kSingleSteps;
  const int64_t steps = kMeasureSteps - kSingleSteps;
  if (scan->exhaustive) {
    // Row i measures the pairs (i, j > i): rows shrink, so progress counts
    // pairs.
    const uint64_t allPairs = uint64_t{n} * (n - 1) / 2;
    scan->pairsDone = 0;
    auto rows = [scan, m, n, scanID, base, steps, allPairs] {
      for (size_t i = scan->nextItem++; i < n; i = scan->nextItem++) {
        for (size_t j = i + 1; j < n; ++j) {
          if (SuperScanService::isSuspended(scanID)) return;
          m->sizes.measurePair(m->texts, i, j, std::max(scan->threshold, 0));
        }
        const uint64_t done = (scan->pairsDone += n - 1 - i);
        advanceTo(*scan,
                  base + static_cast<int64_t>(allPairs == 0 ? steps : steps * done / allPairs));
      }
    };
    runWorkers(scan, workerCount(n), rows, [scan] { afterMeasuring(scan); });
    return;
  }
  const size_t count = scan->candidates.size();
  if (count == 0) return afterMeasuring(scan);
  auto pairs = [scan, m, count, scanID, base, steps] {
    for (size_t k = scan->nextItem++; k < count; k = scan->nextItem++) {
      if (SuperScanService::isSuspended(scanID)) return;
      const auto [i, j] = scan->candidates[k];
      m->sizes.measurePair(m->texts, i, j, std::max(scan->threshold, 0));
      const size_t done = ++scan->itemsDone;
      advanceTo(*scan, base + steps * static_cast<int64_t>(done) / static_cast<int64_t>(count));
    }
  };
  runWorkers(scan, workerCount(count), pairs, [scan] { afterMeasuring(scan); });
}

// On dispatch, once every document has reported its text.
void afterExtraction(const ScanPtr& scan) {
  if (SuperScanService::isSuspended(scan->scanID)) return finishStopped(scan);
  auto m = std::make_shared<SimilarTextMeasurement>();
  m->urls.reserve(scan->documents.size());
  m->texts.reserve(scan->documents.size());
  for (auto& [url, text] : scan->documents) {  // in path order
    m->urls.push_back(url);
    m->texts.push_back(std::move(text));
  }
  scan->documents.clear();
  const size_t n = m->urls.size();
  m->sizes = CompressedSizes(n);
  scan->measurement = m;
  scan->nextItem = 0;
  scan->itemsDone = 0;
  if (n == 0) return afterMeasuring(scan);
  scan->exhaustive = scan->exhaustive || n <= kExhaustiveLimit;
  if (!scan->exhaustive) scan->signatures.resize(n);

  const int64_t scanID = scan->scanID;
  auto singles = [scan, m, n, scanID] {
    for (size_t i = scan->nextItem++; i < n; i = scan->nextItem++) {
      if (SuperScanService::isSuspended(scanID)) break;
      m->sizes.measureSingle(m->texts, i);
      if (!scan->exhaustive) scan->signatures[i] = signatureOf(m->texts[i]);
      const size_t done = ++scan->itemsDone;
      advanceTo(*scan, kWalkSteps + kExtractSteps +
                           kSingleSteps * static_cast<int64_t>(done) / static_cast<int64_t>(n));
    }
  };
  runWorkers(scan, workerCount(n), singles, [scan] {
    if (!scan->exhaustive) {
      scan->candidates = candidatePairs(scan->signatures);
      scan->signatures = {};
    }
    measurePairs(scan);
  });
}

// On dispatch, once every location has been walked.
void afterWalks(const ScanPtr& scan) {
  if (SuperScanService::isSuspended(scan->scanID)) return finishStopped(scan);
  advanceTo(*scan, kWalkSteps);
  scan->files.reserve(scan->found.size());
  for (const auto& entry : scan->found) scan->files.push_back(entry.first);
  scan->found.clear();
  const size_t n = scan->files.size();
  if (n == 0) return afterExtraction(scan);

  const int64_t scanID = scan->scanID;
  auto extract = [scan, n, scanID] {
    for (size_t k = scan->nextItem++; k < n; k = scan->nextItem++) {
      if (SuperScanService::isSuspended(scanID)) break;
      const Url& url = scan->files[k];
      std::string text = SimilarTextService::documentText(url);
      runOnQueueOrHere(scan->dispatch, [scan, url, text = std::move(text), n]() mutable {
        scan->documents[url] = std::move(text);
        trace("finssss");
        const size_t done = ++scan->itemsDone;
        advanceTo(*scan, kWalkSteps +
                             kExtractSteps * static_cast<int64_t>(done) / static_cast<int64_t>(n));
      });
    }
  };
  runWorkers(scan, workerCount(n), extract, [scan] { afterExtraction(scan); });
}

// On the pool: the documents below one location.
void walkLocation(const ScanPtr& scan, const Url& location) {
  std::vector<std::pair<Url, int64_t>> kept;
  DirectoryEnumerator walk(
      location.path(),
      EnumerationOptions::skipsHiddenFiles | EnumerationOptions::skipsPackageDescendants,
      [](const std::string&, const std::string&) { return true; });
  while (std::optional<ResourceValues> item = walk.next()) {
    if (SuperScanService::isSuspended(scan->scanID)) break;
    if (!item->isRegularFile) continue;
    if (!SimilarTextService::isDocumentExtension(pathExtension(item->name))) continue;
    const int64_t size = item->fileSize.value_or(SuperScanService::defaultSize);
    kept.emplace_back(Url::fromPath(item->path, false), size);
    if (scan->progress) scan->progress(item->path, size);
  }
  runOnQueueOrHere(scan->dispatch, [scan, kept = std::move(kept)] {
    for (const auto& [url, size] : kept) scan->found.emplace(url, size);
    if (--scan->locationsLeft == 0) afterWalks(scan);
  });
}

}  // namespace

bool SimilarTextService::isDocumentExtension(std::string_view extension) {
  for (std::string_view kind : {"docx", "doc", "pdf", "rtf", "txt"}) {
    if (extension.find(kind) != std::string_view::npos) return true;
  }
  return extension == "md" || extension == "csv";
}

std::FILE* SimilarTextService::traceOutput() { return traceSlot().load(); }

void SimilarTextService::setTraceOutput(std::FILE* stream) { traceSlot().store(stream); }

void SimilarTextService::scan(const FeaturePtr& featureInfo, const std::vector<Url>& Paths,
                              int thresholdValue, Progress progress, ShowPercent showPercent,
                              SingleDone singleDone, Done done,
                              const std::shared_ptr<SerialGCDService>& dispatch,
                              DispatchQoS qosClass, SimilarTextOptions options) {
  scanProAPISimilar(Paths, featureInfo, thresholdValue, std::move(progress), std::move(showPercent),
                    std::move(singleDone), std::move(done), dispatch, qosClass, options);
}

void SimilarTextService::scanProAPISimilar(const std::vector<Url>& Paths,
                                           const FeaturePtr& featureInfo, int thresholdValue,
                                           Progress progress, ShowPercent showPercent,
                                           SingleDone singleDone, Done done,
                                           const std::shared_ptr<SerialGCDService>& dispatch,
                                           DispatchQoS qosClass, SimilarTextOptions options) {
  if (!featureInfo || !dispatch) return;
  if (!ScanStatusTable::tryStart(featureInfo->finderID)) {
    logInfo("Scanning");
    return;
  }
  logInfo("Start");

  auto scan = std::make_shared<Scan>();
  scan->feature = featureInfo;
  scan->scanID = featureInfo->finderID;
  scan->threshold = thresholdValue;
  scan->exhaustive = options.exhaustive;
  scan->progress = std::move(progress);
  scan->singleDone = std::move(singleDone);
  scan->done = std::move(done);
  scan->dispatch = dispatch;
  scan->qos = qosClass;
  scan->all = std::make_shared<CategoryInformation>(
      0, 0, "All", Image(), 0, "", raw(CategoryInfomationKind::Common), std::vector<Url>{},
      std::vector<FilePtr>{}, featureInfo, std::any{}, 0, false);
  scan->all->scanRoots = Paths;  // a clean acts only inside the folders searched
  featureInfo->categoryInfo = {scan->all};
  scan->percent =
      std::make_shared<PercentService>(std::move(showPercent), kTotalSteps, kStepsPerTick);
  setPercent(scan->percent);
  scan->percent->startTime();

  scan->locationsLeft = Paths.size();
  if (Paths.empty()) {
    runOnQueueOrHere(dispatch, [scan] { afterWalks(scan); });
    return;
  }
  for (const Url& location : Paths) {
    if (!dispatchGlobal(qosClass, [scan, location] { walkLocation(scan, location); })) {
      runOnQueueOrHere(dispatch, [scan] {
        if (--scan->locationsLeft == 0) afterWalks(scan);
      });
    }
  }
}

}  // namespace orvexa
