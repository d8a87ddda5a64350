// Folder walks: one folder into records, and several folders in parallel.

#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/queue_or_here.h"
#include "scan/engine/resource_fetch.h"

namespace orvexa {
namespace {

struct Totals {
  int64_t folderSize = 0;
  int folderNumber = 0;
  int64_t fileSize = 0;
  int fileNumber = 0;
};

// Sizes an item, counts it, and records it unless it is empty and empty
// items are not wanted.
// A folder being sized stops early once the scan is suspended; the walk then
// drops the item.
void takeItem(const ResourceValues& values, int state, const CategoryPtr& category,
              bool isContainZeroItem, int64_t scanID, const SuperScanService::Progress& progress,
              Totals& totals, std::vector<FilePtr>& records) {
  FilesKind kind = SuperScanService::kindOf(values);
  int64_t size = values.fileSize.value_or(SuperScanService::defaultSize);
  std::optional<int64_t> allocated;  // a file's comes with its listed identity
  if (kind != FilesKind::File) {
    const TreeSizes sizes =
        treeSizes(values.path, [scanID] { return SuperScanService::isSuspended(scanID); });
    if (SuperScanService::isSuspended(scanID)) return;
    size = sizes.logical;
    allocated = sizes.allocated;
  }
  if (kind == FilesKind::File) {
    totals.fileSize += size;
    totals.fileNumber += 1;
  } else {
    totals.folderSize += size;
    totals.folderNumber += 1;
  }
  if (!isContainZeroItem && size <= 0) return;
  records.push_back(SuperScanService::makeFileInformation(
      values, state, static_cast<int>(records.size()), category, size));
  if (allocated) records.back()->setAllocatedSize(*allocated);
  if (progress) progress(values.path, size);
}

}  // namespace

void SuperScanService::getListFromUrl(const FeaturePtr& /*featureInfo*/, const Url& url, int state,
                                      const ResourceKeys& propertiesForKey,
                                      EnumerationOptions enumOptions, int64_t scanID,
                                      const ErrorHandle& errorHandle, const FilterFunc& filterFunc,
                                      const Progress& progress, const ListDone& done,
                                      const CategoryPtr& categoryInfo, bool isContainZeroItem) {
  Totals totals;
  std::vector<FilePtr> records;
  ResourceFetch fetch = engine_internal::fetchFor(propertiesForKey);
  std::optional<ResourceValues> top = resourceValues(url.path(), fetch);
  if (top && top->isDirectory) {
    DirectoryEnumerator::ErrorHandler onError;
    if (errorHandle) {
      onError = [&errorHandle](const std::string& path, const std::string& error) {
        return errorHandle(Url::fromPath(path), error);
      };
    }
    DirectoryEnumerator walk(url.path(), enumOptions, onError, fetch);
    while (std::optional<ResourceValues> item = walk.next()) {
      if (isSuspended(scanID)) break;  // every further item would be ignored
      if (filterFunc && !filterFunc(*item, &walk)) continue;
      if (isSuspended(scanID)) {
        walk.skipDescendants();
        break;
      }
      takeItem(*item, state, categoryInfo, isContainZeroItem, scanID, progress, totals, records);
    }
  } else if (top) {
    takeItem(*top, state, categoryInfo, isContainZeroItem, scanID, progress, totals, records);
  }
  if (done) {
    done(ScanFilesInformation(url, totals.folderSize, totals.folderNumber, totals.fileSize,
                              totals.fileNumber),
         std::move(records));
  }
}

void SuperScanService::getListFromUrls(const FeaturePtr& featureInfo, const std::vector<Url>& urls,
                                       int state, const ResourceKeys& propertiesForKey,
                                       EnumerationOptions enumOptions, int64_t scanID,
                                       Progress progress, ShowPercent showPercent,
                                       FilterFunc filterFunc, ListsDone done,
                                       const std::shared_ptr<SerialGCDService>& dispatchQueue,
                                       const CategoryPtr& categoryInfo, bool isContainZeroItem) {
  // Touched only by pieces of dispatchQueue (or, when the queue fails, by the
  // completion that then runs directly).
  struct Merge {
    std::map<Url, std::vector<FilePtr>> lists;
    std::map<Url, ScanFilesInformation> summaries;
    size_t finished = 0;
  };
  auto merge = std::make_shared<Merge>();
  const size_t total = urls.size();
  if (total == 0) {
    runOnQueueOrHere(dispatchQueue, [done] {
      if (done) done({}, {});
    });
    return;
  }
  for (const Url& url : urls) {
    runOnPoolOrHere(DispatchQoS::default_, [=] {
      getListFromUrl(
          featureInfo, url, state, propertiesForKey, enumOptions, scanID, nullptr, filterFunc,
          progress,
          [=](const ScanFilesInformation& summary, std::vector<FilePtr> records) {
            auto completion = [=, records = std::move(records)]() mutable {
              merge->lists[url] = std::move(records);
              merge->summaries[url] = summary;
              merge->finished += 1;
              if (showPercent) {
                showPercent(static_cast<float>(merge->finished) / static_cast<float>(total));
              }
              if (merge->finished == total && done) {
                done(std::move(merge->lists), std::move(merge->summaries));
              }
            };
            runOnQueueOrHere(dispatchQueue, std::move(completion));
          },
          categoryInfo, isContainZeroItem);
    });
  }
}

}  // namespace orvexa
