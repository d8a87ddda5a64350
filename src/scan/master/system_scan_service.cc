#include "orvexa/scan/master/system_scan_service.h"

#include "scan/master/category_scan.h"

namespace orvexa {

bool SystemScanService::systemCacheFilter(const ResourceValues& values,
                                          DirectoryEnumerator* enumerator) {
  if (enumerator == nullptr) return true;
  if (enumerator->level() < 1) return false;
  if (values.path.find("com.apple.xpchelper.cache") != std::string::npos ||
      values.path.find("com.apple.kext.caches") != std::string::npos) {
    return false;
  }
  if (values.isDirectory) enumerator->skipDescendants();
  return true;
}

void SystemScanService::scan(const FeaturePtr& featureInfo, ScanProgress progress,
                             ScanShowPercent showPercent, ScanSingleDone singleDone,
                             JunkDone done, const std::shared_ptr<SerialGCDService>& dispatch) {
  scanPro(featureInfo, std::move(progress), std::move(showPercent), std::move(singleDone),
          std::move(done), dispatch);
}

void SystemScanService::scanPro(const FeaturePtr& featureInfo, ScanProgress progress,
                                ScanShowPercent showPercent, ScanSingleDone singleDone,
                                JunkDone done, const std::shared_ptr<SerialGCDService>& dispatch) {
  if (!featureInfo || !dispatch) return;
  master::CategoryScanPlan plan;
  plan.name = "System";
  plan.keys = {ResourceKey::localizedName, ResourceKey::fileSize, ResourceKey::effectiveIcon,
               ResourceKey::isDirectory, ResourceKey::isPackage};
  plan.options = EnumerationOptions::skipsHiddenFiles | EnumerationOptions::skipsPackageDescendants |
                 EnumerationOptions::skipsSubdirectoryDescendants;
  plan.filterOf = [](const CategoryPtr& category) -> FilterFunc {
    if (category->kind == raw(CategoryInfomationKind::SystemCache)) return systemCacheFilter;
    return nullptr;
  };
  master::runCategoryScan(featureInfo, plan, std::move(progress), std::move(showPercent),
                          std::move(singleDone), std::move(done), dispatch);
}

void SystemScanService::update(
    const std::vector<CategoryPtr>& JunkCategory,
    const std::function<void(const std::vector<CategoryPtr>&)>& finish) {
  for (const CategoryPtr& category : JunkCategory) {
    for (size_t k = 0; k < category->childrens.size(); ++k) {
      category->childrens[k]->setFinderID(static_cast<int>(k));
    }
  }
  if (finish) finish(JunkCategory);
}

}  // namespace orvexa
