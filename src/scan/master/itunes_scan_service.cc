#include "orvexa/scan/master/itunes_scan_service.h"

#include "scan/master/category_scan.h"
#include "scan/master/support_copy.h"

namespace orvexa {
namespace {

void titleBackups(std::vector<FilePtr>& files) {
  for (const FilePtr& f : files) {
    const std::string& path = f->url.path();
    if (path.find("/Application Support/MobileSync/Backup") == std::string::npos) continue;
    std::optional<PlistValue> info =
        master::readSupportCopy(path + "/Info.plist", f->url.lastPathComponent() + "Info.plist");
    if (!info) continue;
    if (const PlistValue* name = info->find("Display Name"); name && name->asString()) {
      f->title = *name->asString();
    }
  }
}

}  // namespace

void iTunesScanService::scaniTunesJunk(const FeaturePtr& featureInfo, ScanProgress progress,
                                       ScanShowPercent showPercent, ScanSingleDone singleDone,
                                       FeatureDone done,
                                       const std::shared_ptr<SerialGCDService>& dispatch) {
  scanProiTunesJunk(featureInfo, std::move(progress), std::move(showPercent), std::move(singleDone),
                    std::move(done), dispatch);
}

void iTunesScanService::scanProiTunesJunk(const FeaturePtr& featureInfo, ScanProgress progress,
                                          ScanShowPercent showPercent, ScanSingleDone singleDone,
                                          FeatureDone done,
                                          const std::shared_ptr<SerialGCDService>& dispatch) {
  if (!featureInfo || !dispatch) return;
  master::CategoryScanPlan plan;
  plan.name = "iTunes";
  plan.keys = {ResourceKey::localizedName, ResourceKey::fileSize, ResourceKey::effectiveIcon,
               ResourceKey::isDirectory, ResourceKey::isPackage};
  // One record per backup folder, sized by its whole content.
  plan.options = EnumerationOptions::skipsHiddenFiles |
                 EnumerationOptions::skipsPackageDescendants |
                 EnumerationOptions::skipsSubdirectoryDescendants;
  plan.refine = titleBackups;
  master::runCategoryScan(featureInfo, plan, std::move(progress), std::move(showPercent),
                          std::move(singleDone), master::finishOnMainQueue(featureInfo, done),
                          dispatch);
}

}  // namespace orvexa
