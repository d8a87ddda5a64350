// The scans of the large-and-old-files feature: the metadata query and the
// walk of the home that stands in for it.
#include "orvexa/scan/large_old/large_and_old_file_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

#include "model/records_blocks.h"
#include "orvexa/platform/content_type.h"
#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/paths.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/main_queue.h"
#include "orvexa/units/queue_or_here.h"
#include "orvexa/units/terminal_tool.h"
#include "platform/unique_fd.h"
#include "scan/large_old/filing.h"

namespace orvexa {
namespace {

constexpr std::string_view kStartLine = "LargeAndOldScanService Start";
constexpr std::string_view kScanningLine = "LargeAndOldScanService Scanning";
constexpr std::string_view kNoQueryToolLine = "LargeAndOldScanService Code = 2";
constexpr std::string_view kSuspendLine = "LargeAndOldScanService Suspend";
constexpr std::string_view kFinishLine = "LargeAndOldScanService Finish";
constexpr std::string_view kMalformedLine =
    "LargeAndOldScanService Catalogue Error: the feature's first category does not hold the "
    "twelve sub-categories; nothing is filed";
constexpr std::string_view kNoFeatureLine = "LargeAndOldScanService Catalogue Error: no feature";

void logInfo(std::string_view text) {
  LogService::shard().log(LogService::LogLevel::Info, std::string(text));
}

// The user's home without trailing slashes.
std::string homeFolder() {
  std::string home = Paths::shared().userHome();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home;
}

// True for paths strictly inside `folder` (a sibling that merely starts with
// the same text, such as "/Users/ann2" for "/Users/ann", is not).
bool isInsideFolder(std::string_view path, std::string_view folder) {
  return !folder.empty() && path.size() > folder.size() &&
         path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// Regular files handed from the walk to the queue at a time.
constexpr size_t kWalkBatch = 1024;
// How many items the walk lists between two looks at the scan's state.
constexpr size_t kWalkStopCheckInterval = 64;

// The end of every scan, on the main queue: the finish line, the state
// `end`, and `done` with the total the scan filed.
void finishOnMainQueue(const FeaturePtr& feature, int64_t total,
                       const LargeAndOldFileService::Done& done) {
  MainQueue::async([feature, total, done] {
    logInfo(kFinishLine);
    if (feature) SuperScanService::setScanStatus(feature->finderID, ScanState::end);
    if (done) done(feature, total);
  });
}

// The content type of a regular file without an extension, from its first
// bytes, as the metadata substitute types it. `where` names the file
// relative to the open folder `folderFd` (or AT_FDCWD with a whole path).
std::string contentTypeByContent(int folderFd, const char* where, const std::string& name) {
  char bytes[kContentSniffLength];
  size_t length = 0;
  if (detail::UniqueFd fd(
          ::openat(folderFd, where, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      fd) {
    const ssize_t n = ::read(fd.get(), bytes, sizeof bytes);
    length = n > 0 ? static_cast<size_t>(n) : 0;
  }
  return contentTypeForName(name, false, false, std::string_view(bytes, length));
}

// What a content type gives a record: its type view and its icon.
struct KnownType {
  int bucket;
  Image icon;
};

// The types met during one scan: one entry per extension or content type
// met. Used by one thread at a time.
class TypeCache {
 public:
  TypeCache() : defaultIcon_(SuperScanService::defaultImage()) {}

  // The type of a regular file that has an extension: worked out once per
  // extension. Null for a file without one, which is typed by its first
  // bytes (ofContent).
  const KnownType* ofExtension(const ResourceValues& values) {
    const std::string_view extension = pathExtension(values.name);
    if (extension.empty()) return nullptr;
    auto known = byExtension_.find(extension);
    if (known == byExtension_.end()) {
      known =
          byExtension_
              .emplace(std::string(extension), make(contentTypeForName(values.name, false, false)))
              .first;
    }
    return &known->second;
  }

  // The type of a regular file without an extension, from its first bytes.
  // A walk reads them while it holds the folder open and hands the type
  // over in `contentType`; otherwise they are read here.
  const KnownType& ofContent(const ResourceValues& values) {
    if (!values.contentType.empty()) return of(values.contentType);
    return of(contentTypeByContent(AT_FDCWD, values.path.c_str(), values.name));
  }

  const KnownType& of(const std::string& contentType) {
    auto known = byType_.find(contentType);
    if (known == byType_.end()) known = byType_.emplace(contentType, make(contentType)).first;
    return known->second;
  }

 private:
  KnownType make(const std::string& contentType) const {
    KnownType type{LargeAndOldFileService::sortTypeTree(contentTypeTree(contentType)),
                   Image::named(contentType)};
    if (type.icon.empty()) type.icon = defaultIcon_;
    return type;
  }

  Image defaultIcon_;
  std::map<std::string, KnownType, std::less<>> byExtension_;
  std::map<std::string, KnownType, std::less<>> byType_;
};

// Turns found files into records of the all-files category and files them
// into the views. Used by one thread at a time.
class Filer {
 public:
  Filer(CategoryPtr allCategory, const large_old::AgeLimits& limits,
        SuperScanService::Progress progress)
      : all_(std::move(allCategory)),
        limits_(limits),
        progress_(std::move(progress)),
        now_(std::chrono::system_clock::now()) {}

  // The category and its views start empty.
  void reset() {
    all_->scanRoots = {Url::fromPath(homeFolder(), true)};  // the only folder searched
    all_->childrens.clear();
    all_->size = 0;
    large_old::emptyViews(*all_);
  }

  // One regular file. The record keeps no type description: the walk reads
  // none, and only the query passes one.
  void take(const ResourceValues& values, const KnownType& type,
            const std::string& typeDescription = {}) {
    const int64_t size = values.fileSize.value_or(SuperScanService::defaultSize);
    const std::string& title =
        values.localizedName.empty() ? SuperScanService::defaultTitle : values.localizedName;
    const std::string& description =
        typeDescription.empty() ? SuperScanService::defaultTitle : typeDescription;
    FilePtr file = detail::makeBlockRecord(
        all_->state, static_cast<int>(all_->childrens.size()), all_->finderID(), title, type.icon,
        size, values.modificationDate.value_or(now_), Url::fromPath(values.path, false),
        description, true, false, std::any{}, std::vector<FilePtr>{}, all_, raw(FilesKind::File), 0,
        nullptr);
    file->setListedIdentity(values.identity);
    large_old::append(*all_, file);
    large_old::fileInto(*all_, file, type.bucket, limits_);
    if (progress_) progress_(values.path, size);
  }

  int64_t total() const { return all_->size; }

 private:
  CategoryPtr all_;
  large_old::AgeLimits limits_;
  SuperScanService::Progress progress_;
  Timestamp now_;
};

// Files the query tool's output: one path a line, in output order. The
// output is read in place.
void fileQueryOutput(const std::string& output, const std::string& home, Filer& filer) {
  TypeCache types;
  std::string_view rest(output);
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.empty() || !isInsideFolder(line, home)) continue;
    std::optional<ResourceValues> values = resourceValues(std::string(line));
    if (!values || !values->isRegularFile) continue;
    KnownType type = types.of(values->contentType);
    if (!values->effectiveIcon.empty()) type.icon = values->effectiveIcon;
    filer.take(*values, type, values->localizedTypeDescription);
  }
}

// Folders that cannot be read are passed over; the rest of the home is
// still worth listing.
bool passOver(const std::string&, const std::string&) { return true; }

// The walk of the home without the query tool: every visible regular file,
// leaving out hidden items and what packages hold, in the order of a
// depth-first walk in name order. It lists the home's top level first; then
// a few walkers take one top-level item at a time (a file, or a folder with
// everything below it). Batches of the item that comes first in that order
// go to the queue as they are listed; those of later items wait until every
// item before them has been handed over. Shared by its walkers.
class HomeWalk : public std::enable_shared_from_this<HomeWalk> {
 public:
  using FileBatch = std::function<void(const std::vector<ResourceValues>&)>;

  HomeWalk(std::string home, int64_t scanID, std::shared_ptr<SerialGCDService> queue,
           FileBatch fileBatch)
      : home_(std::move(home)),
        scanID_(scanID),
        queue_(std::move(queue)),
        fileBatch_(std::move(fileBatch)) {}

  // Called once by the walker that ends last, with whether the walk was
  // stopped.
  std::function<void(bool)> finish;

  // Lists the top level and walks on this thread and a few pool pieces.
  void start() {
    DirectoryEnumerator top(home_,
                            EnumerationOptions::skipsHiddenFiles |
                                EnumerationOptions::skipsSubdirectoryDescendants |
                                EnumerationOptions::skipsPackageDescendants,
                            passOver, ResourceFetch::basic);
    while (std::optional<ResourceValues> item = top.next()) {
      const bool folder = item->isDirectory && !item->isPackage;
      if (folder || item->isRegularFile) items_.push_back(Item{std::move(*item), folder});
    }
    parts_.resize(items_.size());
    const size_t walkers =
        std::max<size_t>(1, std::min({dispatchGlobalCoreThreads(), kMaxWalkers, items_.size()}));
    active_.store(walkers);
    auto self = shared_from_this();
    for (size_t i = 1; i < walkers; ++i) {
      if (!dispatchGlobal(DispatchQoS::default_, [self] { self->runWalker(); })) {
        // The walkers already running take every item.
        endWalker();
      }
    }
    runWalker();
  }

 private:
  static constexpr size_t kMaxWalkers = 4;

  struct Item {
    ResourceValues values;
    bool folder;
  };
  // What the walkers listed of one item and did not hand over yet.
  struct Part {
    std::vector<std::vector<ResourceValues>> batches;
    bool finished = false;
  };

  bool suspended() const { return suspended_.load(std::memory_order_relaxed); }

  void runWalker() {
    for (;;) {
      const size_t index = next_.fetch_add(1);
      if (index >= items_.size() || suspended()) break;
      if (SuperScanService::isSuspended(scanID_)) {
        suspended_.store(true);
        break;
      }
      walkItem(index);
    }
    endWalker();
  }

  void endWalker() {
    if (active_.fetch_sub(1, std::memory_order_acq_rel) == 1 && finish) finish(suspended());
  }

  void walkItem(size_t index) {
    Item& item = items_[index];
    std::vector<ResourceValues> batch;
    if (!item.folder) {
      typeByContent(AT_FDCWD, item.values.path, item.values);
      batch.push_back(std::move(item.values));
      emit(index, std::move(batch), true);
      return;
    }
    DirectoryEnumerator walk(
        item.values.path,
        EnumerationOptions::skipsHiddenFiles | EnumerationOptions::skipsPackageDescendants,
        passOver, ResourceFetch::basic);
    batch.reserve(kWalkBatch);
    size_t listed = 0;
    while (std::optional<ResourceValues> found = walk.next()) {
      // The walk looks at the scan's state every few items (it is shared
      // with the queue, which looks before every record it files).
      if (++listed % kWalkStopCheckInterval == 0 &&
          (suspended() || SuperScanService::isSuspended(scanID_))) {
        suspended_.store(true);
        break;
      }
      if (!found->isRegularFile) continue;
      // A file without an extension is typed by its first bytes: they are
      // read here, relative to the folder the walk holds open, rather than by
      // path on the queue.
      const int folder = walk.folderDescriptor();
      if (folder >= 0) {
        typeByContent(folder, found->name, *found);
      } else {
        typeByContent(AT_FDCWD, found->path, *found);
      }
      batch.push_back(std::move(*found));
      if (batch.size() == kWalkBatch) {
        emit(index, std::move(batch), false);
        batch = {};
        batch.reserve(kWalkBatch);
      }
    }
    emit(index, std::move(batch), true);
  }

  // Fills values.contentType of a regular file without an extension.
  static void typeByContent(int folderFd, const std::string& where, ResourceValues& values) {
    if (!pathExtension(values.name).empty()) return;
    values.contentType = contentTypeByContent(folderFd, where.c_str(), values.name);
  }

  // Adds a batch of item `index` and hands over, in order, what may go.
  void emit(size_t index, std::vector<ResourceValues> batch, bool finished) {
    std::lock_guard lock(mu_);
    Part& part = parts_[index];
    if (!batch.empty()) part.batches.push_back(std::move(batch));
    part.finished = finished;
    while (cursor_ < parts_.size()) {
      Part& first = parts_[cursor_];
      for (std::vector<ResourceValues>& ready : first.batches) {
        auto piece = std::make_shared<std::vector<ResourceValues>>(std::move(ready));
        runOnQueueOrHere(queue_, [fileBatch = fileBatch_, piece] { fileBatch(*piece); });
      }
      first.batches.clear();
      if (!first.finished) break;
      ++cursor_;
    }
  }

  const std::string home_;
  const int64_t scanID_;
  const std::shared_ptr<SerialGCDService> queue_;
  const FileBatch fileBatch_;
  // Written by start() before any walker runs.
  std::vector<Item> items_;
  std::atomic<size_t> next_{0};
  std::atomic<size_t> active_{0};
  std::atomic<bool> suspended_{false};
  std::mutex mu_;
  std::vector<Part> parts_;  // under mu_
  size_t cursor_ = 0;        // under mu_: the first item not handed over completely
};

}  // namespace

void LargeAndOldFileService::scanLargeAndOldFile(
    const FeaturePtr& featureInfo, Progress progress, ShowPercent showPercent,
    SingleDone singleDone, Done done, const std::shared_ptr<SerialGCDService>& dispatch) {
  scanProLargeAndOldFileFast(featureInfo, std::move(progress), std::move(showPercent),
                             std::move(singleDone), std::move(done), dispatch);
}

void LargeAndOldFileService::scanProLargeAndOldFileFast(
    const FeaturePtr& featureInfo, Progress progress, ShowPercent showPercent,
    SingleDone singleDone, Done done, const std::shared_ptr<SerialGCDService>& dispatch) {
  if (!featureInfo) {
    logInfo(kNoFeatureLine);
    finishOnMainQueue(nullptr, 0, done);
    return;
  }
  if (!ScanStatusTable::tryStart(featureInfo->finderID)) {
    logInfo(kScanningLine);
    return;
  }
  logInfo(kStartLine);
  const auto limits = large_old::AgeLimits::before(std::chrono::system_clock::now());
  auto percent = std::make_shared<PercentService>(showPercent, 3, 1.0f);
  percent->startTime();
  percent->progressStep();

  auto body = [featureInfo, progress = std::move(progress), showPercent = std::move(showPercent),
               singleDone = std::move(singleDone), done = std::move(done), dispatch, limits,
               percent] {
    CategoryPtr all = allFilesCategory(featureInfo);
    if (!all) {
      logInfo(kMalformedLine);
      percent->progressStep();
      percent->progressStep();
      finishOnMainQueue(featureInfo, 0, done);
      return;
    }
    const std::string tool = Paths::shared().tool("mdfind");
    if (!fileExists(tool)) {
      logInfo(kNoQueryToolLine);
      scanProLargeAndOldFileCommon(featureInfo, progress, showPercent, singleDone, done, dispatch,
                                   percent);
      return;
    }
    // Without a queue of the host's, the output is filed on one of our own,
    // kept alive by the run until its last piece.
    std::shared_ptr<SerialGCDService> queue =
        dispatch ? dispatch
                 : std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
    const std::string home = homeFolder();
    TerminalUtils::realTimeRunTerminal(
        tool, {"-onlyin", home, "kMDItemFSSize > " + std::to_string(kSearchSize)}, *queue,
        [featureInfo, all, home, limits, progress, done, percent, queue](std::string output) {
          percent->progressStep();
          Filer filer(all, limits, progress);
          filer.reset();
          fileQueryOutput(output, home, filer);
          percent->progressStep();
          finishOnMainQueue(featureInfo, filer.total(), done);
        });
  };
  runOnPoolOrHere(body);
}

void LargeAndOldFileService::scanProLargeAndOldFileCommon(
    const FeaturePtr& featureInfo, Progress progress, ShowPercent /*showPercent*/,
    SingleDone /*singleDone*/, Done done, const std::shared_ptr<SerialGCDService>& dispatch,
    const std::shared_ptr<PercentService>& percentService) {
  auto step = [percentService] {
    if (percentService) percentService->progressStep();
  };
  CategoryPtr all = allFilesCategory(featureInfo);
  if (!all) {
    logInfo(featureInfo ? kMalformedLine : kNoFeatureLine);
    step();
    step();
    finishOnMainQueue(featureInfo, 0, done);
    return;
  }
  const int64_t scanID = featureInfo->finderID;
  std::shared_ptr<SerialGCDService> queue =
      dispatch ? dispatch : std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
  // The walk only lists; the records are typed, made and filed on the queue,
  // batch by batch in walk order, so that listing and filing overlap. Once
  // the walk has started only pieces of the queue touch the filer, the type
  // cache and the tree.
  auto filer = std::make_shared<Filer>(
      all, large_old::AgeLimits::before(std::chrono::system_clock::now()), std::move(progress));
  filer->reset();
  auto types = std::make_shared<TypeCache>();
  // Under the Linux layout the walk stands in for the query whole: only
  // files larger than kSearchSize are filed.
  const int64_t least = Paths::shared().layout() == Layout::Linux ? kSearchSize + 1 : 0;
  auto fileBatch = [filer, types, scanID, least](const std::vector<ResourceValues>& batch) {
    for (const ResourceValues& values : batch) {
      if (isSuspended(scanID)) return;
      if (values.fileSize.value_or(0) < least) continue;
      const KnownType* type = types->ofExtension(values);
      filer->take(values, type ? *type : types->ofContent(values));
    }
  };

  // The home is walked by a few pieces of the global pool at once, one
  // top-level item each at a time; their batches reach the queue in the
  // order a single walk would list them (see HomeWalk).
  auto walk = std::make_shared<HomeWalk>(homeFolder(), scanID, queue, std::move(fileBatch));
  walk->finish = [featureInfo, scanID, filer, step, done, queue](bool suspended) {
    step();
    // Behind every batch: the end, which also comes when the queue is gone.
    runOnQueueOrHere(
        queue,
        [featureInfo, scanID, suspended, filer, step, done, queue] {
          if (suspended || isSuspended(scanID)) logInfo(kSuspendLine);
          step();
          finishOnMainQueue(featureInfo, filer->total(), done);
        },
        WhenReleased::kRunHere);
  };
  walk->start();
}

}  // namespace orvexa
