#include "orvexa/scan/disk_analysis/disk_analysis_service.h"

#include <mutex>
#include <unordered_map>

#include "orvexa/units/log_service.h"
#include "scan/disk_analysis/disk_tree_walk.h"

namespace orvexa {
namespace {

// The running walk of each feature (by finderID), for stopDsik.
class RunningWalks {
 public:
  static RunningWalks& shared() {
    static RunningWalks* walks = new RunningWalks;  // outlives late pool pieces
    return *walks;
  }

  // Registers `walk`, returning the walk it replaces (if still alive).
  std::shared_ptr<disk_analysis::TreeWalk> put(
      int64_t key, const std::shared_ptr<disk_analysis::TreeWalk>& walk) {
    std::lock_guard lock(mu_);
    std::weak_ptr<disk_analysis::TreeWalk>& slot = walks_[key];
    std::shared_ptr<disk_analysis::TreeWalk> previous = slot.lock();
    slot = walk;
    return previous;
  }

  std::shared_ptr<disk_analysis::TreeWalk> take(int64_t key) {
    std::lock_guard lock(mu_);
    auto it = walks_.find(key);
    if (it == walks_.end()) return nullptr;
    std::shared_ptr<disk_analysis::TreeWalk> walk = it->second.lock();
    walks_.erase(it);
    return walk;
  }

 private:
  std::mutex mu_;
  std::unordered_map<int64_t, std::weak_ptr<disk_analysis::TreeWalk>> walks_;
};

}  // namespace

void DiskAnalysisService::scan(const FeaturePtr& featureInfo, const std::string& Path,
                               DiskProgress progress, DiskShowPercent showPercent,
                               DiskSingleDone singleDone, DiskDone done,
                               const std::shared_ptr<SerialGCDService>& dispatch) {
  scanPro(featureInfo, Path, std::move(progress), std::move(showPercent), std::move(singleDone),
          std::move(done), dispatch);
}

void DiskAnalysisService::scanPro(const FeaturePtr& featureInfo, const std::string& Path,
                                  DiskProgress progress, DiskShowPercent showPercent,
                                  DiskSingleDone singleDone, DiskDone done,
                                  const std::shared_ptr<SerialGCDService>& dispatch) {
  if (!featureInfo || !dispatch) return;
  const int64_t scanID = featureInfo->finderID;
  if (!ScanStatusTable::tryStart(scanID)) {
    LogService::shard().log(LogService::LogLevel::Info, "scanDiskAnalysisService Scanning");
    return;
  }
  auto walk = std::make_shared<disk_analysis::TreeWalk>(
      featureInfo, Path,
      disk_analysis::TreeWalk::Callbacks{std::move(progress), std::move(showPercent),
                                         std::move(singleDone), std::move(done)},
      dispatch);
  // A walk of this feature that was suspended and is still winding down must
  // not report into the new scan's feature state.
  if (auto previous = RunningWalks::shared().put(scanID, walk)) previous->stop();
  walk->start();
}

void DiskAnalysisService::stopDsik(const FeaturePtr& featureInfo, const DiskDone& done) {
  LogService::shard().log(LogService::LogLevel::Info,
                          "DiskAnalysisService stopDiskAnalysis Supend");
  if (!featureInfo) return;
  if (auto walk = RunningWalks::shared().take(featureInfo->finderID)) walk->stop();
  ScanStatusTable::set(featureInfo->finderID, ScanState::end);
  if (done) done(featureInfo, 0);
}

}  // namespace orvexa
