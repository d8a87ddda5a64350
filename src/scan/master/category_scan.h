// The life cycle shared by the scanners that list the catalogue's folders:
// refuse a second start, log, start progress (one step per category), walk
// every category on the global pool through the engine, merge each
// category on the host's queue, and finish once every category is in.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/scan/master/junk_callbacks.h"

namespace orvexa::master {

struct CategoryScanPlan {
  // Log name: "<name> Scan Start", "... Scanning", "... Suspend", "... Finish".
  std::string name;
  ResourceKeys keys;
  EnumerationOptions options = EnumerationOptions::none;
  // The folders to list for a category (default: its `urls`).
  std::function<std::vector<Url>(const CategoryPtr&)> urlsOf;
  // The filter for a category (default: every item).
  std::function<SuperScanService::FilterFunc(const CategoryPtr&)> filterOf;
  // Runs on `dispatch` over a category's merged records before they are
  // numbered and handed over.
  std::function<void(std::vector<FilePtr>&)> refine;
};

// Runs the scan. `finish` receives every category's result, on `dispatch`,
// after "<name> Scan Finish" was logged and the feature set to `end`.
// Returns false (after logging "<name> Scan Scanning") when a scan of the
// feature is running already; nothing else happens then.
bool runCategoryScan(const FeaturePtr& feature, const CategoryScanPlan& plan, ScanProgress progress,
                     ScanShowPercent showPercent, ScanSingleDone singleDone,
                     std::function<void(std::map<int, CategoryResult>)> finish,
                     const std::shared_ptr<SerialGCDService>& dispatch);

// `done(feature, total)` on the main-queue thread, for scanners that report so.
std::function<void(std::map<int, CategoryResult>)> finishOnMainQueue(const FeaturePtr& feature,
                                                                     FeatureDone done);

}  // namespace orvexa::master
