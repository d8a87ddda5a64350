// The scans of the large-and-old-files feature: the metadata query and the
// walk of the home that stands in for it.
#include "orvexa/scan/large_old/large_and_old_file_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <string_view>
#include <utility>

#include "orvexa/platform/content_type.h"
#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/paths.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/main_queue.h"
#include "orvexa/units/terminal_tool.h"
#include "scan/large_old/filing.h"
#include "platform/unique_fd.h"

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
constexpr size_t kWalkBatch = 256;

// Runs `work` on the queue. When the queue cannot take it, runs it here;
// when the queue was destroyed before it ran, runs it only if `evenIfGone`.
void onQueue(SerialGCDService& queue, std::function<void()> work, bool evenIfGone) {
  queue.run(work, [work, evenIfGone](JThreadSatefy::THREADRUNERROR error) {
    if (error == JThreadSatefy::THREADRUNERROR::cancelled && !evenIfGone) return;
    work();
  });
}

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

  // The type of a regular file without an extension, from its first bytes,
  // as the metadata substitute types it.
  const KnownType& ofContent(const ResourceValues& values) {
    char bytes[kContentSniffLength];
    size_t length = 0;
    if (detail::UniqueFd fd(
            ::open(values.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        fd) {
      const ssize_t n = ::read(fd.get(), bytes, sizeof bytes);
      length = n > 0 ? static_cast<size_t>(n) : 0;
    }
    return of(contentTypeForName(values.name, false, false, std::string_view(bytes, length)));
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
    auto file = std::make_shared<FileInformation>(
        all_->state, static_cast<int>(all_->childrens.size()), all_->finderID(), title, type.icon,
        size, values.modificationDate.value_or(now_), Url::fromPath(values.path, false),
        description, true, false, std::any{}, std::vector<FilePtr>{}, all_, raw(FilesKind::File), 0,
        nullptr);
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
  if (!dispatchGlobal(DispatchQoS::default_, body)) body();
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
  auto fileBatch = [filer, types, scanID](const std::vector<ResourceValues>& batch) {
    for (const ResourceValues& values : batch) {
      if (isSuspended(scanID)) return;
      const KnownType* type = types->ofExtension(values);
      filer->take(values, type ? *type : types->ofContent(values));
    }
  };

  // Folders that cannot be read are passed over; the rest of the home is
  // still worth listing.
  DirectoryEnumerator walk(
      homeFolder(),
      EnumerationOptions::skipsHiddenFiles | EnumerationOptions::skipsPackageDescendants,
      [](const std::string&, const std::string&) { return true; }, ResourceFetch::basic);
  std::vector<ResourceValues> batch;
  batch.reserve(kWalkBatch);
  auto handOver = [&] {
    if (batch.empty()) return;
    auto piece = std::make_shared<std::vector<ResourceValues>>(std::move(batch));
    onQueue(
        *queue, [fileBatch, piece] { fileBatch(*piece); }, false);
    batch = {};
    batch.reserve(kWalkBatch);
  };
  bool suspended = false;
  while (std::optional<ResourceValues> item = walk.next()) {
    if (isSuspended(scanID)) {
      suspended = true;
      break;
    }
    if (!item->isRegularFile) continue;
    batch.push_back(std::move(*item));
    if (batch.size() == kWalkBatch) handOver();
  }
  handOver();
  step();
  // Behind every batch: the end, which also comes when the queue is gone.
  onQueue(
      *queue,
      [featureInfo, scanID, suspended, filer, step, done, queue] {
        if (suspended || isSuspended(scanID)) logInfo(kSuspendLine);
        step();
        finishOnMainQueue(featureInfo, filer->total(), done);
      },
      true);
}

}  // namespace orvexa
