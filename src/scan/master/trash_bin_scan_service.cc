#include "orvexa/scan/master/trash_bin_scan_service.h"

#include "orvexa/platform/paths.h"
#include "scan/master/category_scan.h"

namespace orvexa {

std::vector<std::pair<Url, std::string>> TrashBinScanService::getUSBInfo() {
  std::vector<std::pair<Url, std::string>> found;
  const std::string volumes = Paths::shared().volumesFolder();
  for (const Url& volumeUrl : mountedVolumeURLs()) {
    const std::string& volume = volumeUrl.path();
    // Only the components below the volumes folder count: a root prefix may
    // hold any name.
    std::string relative =
        volume.substr(volume.compare(0, volumes.size(), volumes) == 0 ? volumes.size() : 0);
    size_t start = relative.find_first_not_of('/');
    std::string first = start == std::string::npos
                            ? std::string()
                            : relative.substr(start, relative.find('/', start) - start);
    if (first == "System") continue;
    for (const std::string& trash : Paths::shared().volumeTrashFolders(volume)) {
      // A freedesktop.org trash keeps its items in files/.
      const std::string items =
          Paths::shared().layout() == Layout::Linux ? trash + "/files" : trash;
      if (isDirectory(items)) {
        found.emplace_back(Url::fromPath(items, true), volumeUrl.lastPathComponent());
      }
    }
  }
  return found;
}

void TrashBinScanService::scanTrashBin(const FeaturePtr& featureInfo, ScanProgress progress,
                                       ScanShowPercent showPercent, ScanSingleDone singleDone,
                                       FeatureDone done, const std::string& otherTrashBinDesc,
                                       const std::shared_ptr<SerialGCDService>& dispatch) {
  scanProTrashBin(featureInfo, std::move(progress), std::move(showPercent), std::move(singleDone),
                  std::move(done), otherTrashBinDesc, dispatch);
}

void TrashBinScanService::scanProTrashBin(const FeaturePtr& featureInfo, ScanProgress progress,
                                          ScanShowPercent showPercent, ScanSingleDone singleDone,
                                          FeatureDone done, const std::string& otherTrashBinDesc,
                                          const std::shared_ptr<SerialGCDService>& dispatch) {
  if (!featureInfo || !dispatch) return;
  if (ScanStatusTable::get(featureInfo->finderID) != static_cast<int>(ScanState::start)) {
    // Fill the other volumes' category before the scan reads its URLs.
    std::vector<Url> volumeTrashes;
    for (auto& [url, name] : getUSBInfo()) volumeTrashes.push_back(url);
    for (const CategoryPtr& c : featureInfo->categoryInfo) {
      if (c->kind == raw(CategoryInfomationKind::OtherTrashBin) || c->urls.empty()) {
        c->kind = raw(CategoryInfomationKind::OtherTrashBin);
        c->urls = volumeTrashes;
        c->description = otherTrashBinDesc;
      }
    }
  }
  master::CategoryScanPlan plan;
  plan.name = "Trash";
  plan.keys = {ResourceKey::localizedName, ResourceKey::fileSize, ResourceKey::effectiveIcon,
               ResourceKey::isDirectory, ResourceKey::isPackage};
  plan.options = EnumerationOptions::skipsHiddenFiles |
                 EnumerationOptions::skipsPackageDescendants |
                 EnumerationOptions::skipsSubdirectoryDescendants;
  plan.refine = [](std::vector<FilePtr>& files) {
    for (const FilePtr& f : files) {
      if (f->icon.empty() || f->icon == defaultImage())
        f->icon = Image::named(defaultTrashBinImage);
    }
  };
  master::runCategoryScan(featureInfo, plan, std::move(progress), std::move(showPercent),
                          std::move(singleDone), master::finishOnMainQueue(featureInfo, done),
                          dispatch);
}

}  // namespace orvexa
