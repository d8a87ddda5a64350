#include "orvexa/scan/master/system_scan_service.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/paths.h"
#include "scan/master/category_scan.h"

namespace orvexa {
namespace {

std::string folderOf(const Url& url) {
  std::string path = url.path();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool endsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool allDigits(std::string_view s) {
  return !s.empty() &&
         std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool namesFolder(const CategoryPtr& category, const std::string& folder) {
  return std::any_of(category->urls.begin(), category->urls.end(),
                     [&](const Url& url) { return folderOf(url) == folder; });
}

}  // namespace

bool SystemScanService::isRotatedLog(std::string_view name) {
  for (std::string_view packed : {".gz", ".xz", ".bz2", ".zst"}) {
    if (endsWith(name, packed)) return true;
  }
  if (endsWith(name, ".old")) return true;
  size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0 && allDigits(name.substr(dot + 1))) {
    return dot + 1 < name.size() && name.size() - dot - 1 <= 3;
  }
  size_t dash = name.rfind('-');
  return dash != std::string_view::npos && dash > 0 && name.size() - dash - 1 == 8 &&
         allDigits(name.substr(dash + 1));
}

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
                             ScanShowPercent showPercent, ScanSingleDone singleDone, JunkDone done,
                             const std::shared_ptr<SerialGCDService>& dispatch) {
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
  plan.options = EnumerationOptions::skipsPackageDescendants |
                 EnumerationOptions::skipsSubdirectoryDescendants;
  // What sits hidden in a Linux cache folder is cache like the rest (a
  // program's scratch files); on macOS it is the Finder's.
  const Paths& paths = Paths::shared();
  if (paths.layout() != Layout::Linux) {
    plan.options = plan.options | EnumerationOptions::skipsHiddenFiles;
  }
  const std::string logs = paths.systemLogFolder();
  const std::string archives = paths.packageArchivesFolder();
  plan.urlsOf = [logs](const CategoryPtr& category) {
    std::vector<Url> urls = category->urls;
    if (!namesFolder(category, logs)) return urls;
    for (const std::string& name : contentsOfDirectory(logs)) {
      if (isDirectory(logs + "/" + name)) urls.push_back(Url::fromPath(logs + "/" + name, true));
    }
    return urls;
  };
  plan.filterOf = [feature = featureInfo, logs,
                   archives](const CategoryPtr& category) -> FilterFunc {
    // The folders of the other categories, left to them.
    std::set<std::string> others;
    for (const CategoryPtr& other : feature->categoryInfo) {
      if (other == category) continue;
      for (const Url& url : other->urls) others.insert(folderOf(url));
    }
    const bool cache = category->kind == raw(CategoryInfomationKind::SystemCache);
    const bool rotatedOnly = namesFolder(category, logs);
    return [others, cache, rotatedOnly, archives](const ResourceValues& values,
                                                  DirectoryEnumerator* enumerator) {
      if (enumerator == nullptr) return true;
      if (others.count(values.path) != 0) {
        enumerator->skipDescendants();
        return false;
      }
      if (rotatedOnly && (values.isDirectory || !isRotatedLog(values.name))) return false;
      if (values.path.size() > archives.size() &&
          values.path.compare(0, archives.size(), archives) == 0 &&
          values.path[archives.size()] == '/' && enumerator->level() == 1 &&
          (values.isDirectory || !endsWith(values.name, ".deb"))) {
        return false;
      }
      return cache ? systemCacheFilter(values, enumerator) : true;
    };
  };
  master::runCategoryScan(featureInfo, plan, std::move(progress), std::move(showPercent),
                          std::move(singleDone), std::move(done), dispatch);
}

void SystemScanService::update(const std::vector<CategoryPtr>& JunkCategory,
                               const std::function<void(const std::vector<CategoryPtr>&)>& finish) {
  for (const CategoryPtr& category : JunkCategory) {
    for (size_t k = 0; k < category->childrens.size(); ++k) {
      category->childrens[k]->setFinderID(static_cast<int>(k));
    }
  }
  if (finish) finish(JunkCategory);
}

}  // namespace orvexa
