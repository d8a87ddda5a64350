// Class-level state of the scan engine: scan status, progress and defaults.
#include <mutex>

#include "orvexa/platform/paths.h"
#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/swift_file_hash.h"

namespace orvexa {
namespace {

// The duplicate scan's content reads check the hasher's own cancel flag
// (SwiftFileHashUnit::scanState), not the scan-status table, which its walk
// alone reads: stopping the duplicates feature must raise that flag too, or
// the reads of a stopped scan run on to the end.
constexpr int kDuplicateFeatureID = 7;

std::mutex& percentMutex() {
  static std::mutex mu;
  return mu;
}
std::shared_ptr<PercentService>& percentSlot() {
  static std::shared_ptr<PercentService>* slot = new std::shared_ptr<PercentService>;
  return *slot;
}

}  // namespace

std::optional<int> SuperScanService::scanStatus(int64_t key) { return ScanStatusTable::get(key); }

void SuperScanService::setScanStatus(int64_t key, ScanState state) {
  ScanStatusTable::set(key, state);
}

bool SuperScanService::isSuspended(int64_t key) { return ScanStatusTable::isSuspended(key); }

std::shared_ptr<PercentService> SuperScanService::percent() {
  std::lock_guard lock(percentMutex());
  return percentSlot();
}

void SuperScanService::setPercent(std::shared_ptr<PercentService> percent) {
  std::lock_guard lock(percentMutex());
  percentSlot() = std::move(percent);
}

void SuperScanService::clearPercent(const std::shared_ptr<PercentService>& percent) {
  std::lock_guard lock(percentMutex());
  if (percentSlot() == percent) percentSlot() = nullptr;
}

Image SuperScanService::defaultImage() { return Image::named("App_Cache"); }

Url SuperScanService::supportFolder() {
  return Url::fromPath(Paths::shared().userDocuments(), true);
}

void SuperScanService::stop(const FeaturePtr& featureInfo) {
  if (!featureInfo) return;
  LogService::shard().log(LogService::LogLevel::Info,
                          "Stop Scan FeatureInfo:" + std::to_string(featureInfo->finderID));
  if (isSuspended(featureInfo->finderID)) return;
  // Marked first and atomically, so a scan finishing at this very moment
  // keeps its `end`.
  if (!ScanStatusTable::suspendUnlessEnded(featureInfo->finderID)) return;
  std::shared_ptr<PercentService> running;
  {
    std::lock_guard lock(percentMutex());
    running = std::move(percentSlot());
    percentSlot() = nullptr;
  }
  if (running) running->stopTime();
  if (featureInfo->finderID == kDuplicateFeatureID) {
    SwiftFileHashUnit::shard().scanState = static_cast<int>(ScanState::suspend);
  }
}

std::vector<CategoryPtr> SuperScanService::largeAndOldFileFilterAll(const CategoryPtr&) {
  return {};
}

}  // namespace orvexa
