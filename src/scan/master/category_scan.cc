#include "scan/master/category_scan.h"

#include "orvexa/units/dispatch.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/main_queue.h"
#include "orvexa/units/queue_or_here.h"

namespace orvexa::master {
namespace {

void logInfo(const std::string& text) { LogService::shard().log(LogService::LogLevel::Info, text); }

}  // namespace

bool runCategoryScan(const FeaturePtr& feature, const CategoryScanPlan& plan, ScanProgress progress,
                     ScanShowPercent showPercent, ScanSingleDone singleDone,
                     std::function<void(std::map<int, CategoryResult>)> finish,
                     const std::shared_ptr<SerialGCDService>& dispatch) {
  const int64_t scanID = feature->finderID;
  if (!ScanStatusTable::tryStart(scanID)) {
    logInfo(plan.name + " Scan Scanning");
    return false;
  }
  logInfo(plan.name + " Scan Start");

  const std::vector<CategoryPtr> categories = feature->categoryInfo;
  auto percent =
      std::make_shared<PercentService>(showPercent, static_cast<int64_t>(categories.size()));
  SuperScanService::setPercent(percent);
  percent->startTime();

  // Touched only by pieces of `dispatch`.
  struct Merge {
    std::map<int, CategoryResult> results;
  };
  auto merge = std::make_shared<Merge>();
  const std::string name = plan.name;
  auto complete = [merge, finish, scanID, name, percent, total = categories.size()] {
    if (merge->results.size() != total) return;
    // The host hears the last progress (1.0) before done, never after it.
    percent->stopTime();
    SuperScanService::clearPercent(percent);
    if (SuperScanService::isSuspended(scanID)) logInfo(name + " Scan Suspend");
    logInfo(name + " Scan Finish");
    SuperScanService::setScanStatus(scanID, ScanState::end);
    if (finish) finish(std::move(merge->results));
  };
  if (categories.empty()) {
    runOnQueueOrHere(dispatch, complete);
    return true;
  }

  for (size_t i = 0; i < categories.size(); ++i) {
    const CategoryPtr category = categories[i];
    const int position = static_cast<int>(i);
    std::vector<Url> urls = plan.urlsOf ? plan.urlsOf(category) : category->urls;
    SuperScanService::FilterFunc filter = plan.filterOf ? plan.filterOf(category) : nullptr;
    auto refine = plan.refine;
    auto categoryDone = [=](std::map<Url, std::vector<FilePtr>> lists,
                            std::map<Url, ScanFilesInformation> summaries) {
      CategoryResult result;
      result.summary.url = urls.empty() ? Url() : urls.front();
      for (const Url& url : urls) {
        auto list = lists.find(url);
        if (list != lists.end()) {
          for (FilePtr& f : list->second) result.files.push_back(std::move(f));
          lists.erase(list);  // a URL listed twice contributes once
        }
        auto s = summaries.find(url);
        if (s != summaries.end()) {
          result.summary.folderSize += s->second.folderSize;
          result.summary.folderNumber += s->second.folderNumber;
          result.summary.fileSize += s->second.fileSize;
          result.summary.fileNumber += s->second.fileNumber;
          summaries.erase(s);
        }
      }
      if (refine) refine(result.files);
      for (size_t k = 0; k < result.files.size(); ++k) {
        result.files[k]->setFinderID(static_cast<int>(k));
      }
      runOnQueueOrHere(dispatch, [=, result = std::move(result)]() mutable {
        int64_t size = 0;
        for (const FilePtr& f : result.files) size += f->size;
        category->childrens = result.files;
        category->size = size;
        merge->results[position] = result;
        if (singleDone) singleDone(position, merge->results[position]);
        percent->progressStep();
        complete();
      });
    };
    runOnPoolOrHere(DispatchQoS::default_, [=] {
      SuperScanService::getListFromUrls(feature, urls, 0, plan.keys, plan.options, scanID, progress,
                                        nullptr, filter, categoryDone, dispatch, category, false);
    });
  }
  return true;
}

std::function<void(std::map<int, CategoryResult>)> finishOnMainQueue(const FeaturePtr& feature,
                                                                     FeatureDone done) {
  return [feature, done](std::map<int, CategoryResult> results) {
    int64_t total = 0;
    for (const auto& [position, result] : results) {
      for (const FilePtr& f : result.files) total += f->size;
    }
    MainQueue::async([feature, done, total] {
      if (done) done(feature, total);
    });
  };
}

}  // namespace orvexa::master
