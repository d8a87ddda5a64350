#include "orvexa/scan/master/trash_bin_scan_service.h"

#include <sys/stat.h>

#include <algorithm>

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

namespace {

// Adds to a freedesktop.org trash category the "info" folder beside each of
// its "files" folders (once), so that the information files whose item is
// gone are listed and may be cleaned.
void addInfoFolders(CategoryInformation& category) {
  std::vector<Url> urls = category.urls;
  for (const Url& url : category.urls) {
    std::string folder = url.path();
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (!folder.ends_with("/files")) continue;
    const Url info = Url::fromPath(folder.substr(0, folder.size() - 5) + "info", true);
    if (isDirectory(info.path()) && std::find(urls.begin(), urls.end(), info) == urls.end()) {
      urls.push_back(info);
    }
  }
  category.urls = std::move(urls);
}

}  // namespace

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
      if (Paths::shared().layout() == Layout::Linux) addInfoFolders(*c);
    }
  }
  master::CategoryScanPlan plan;
  plan.name = "Trash";
  plan.keys = {ResourceKey::path,          ResourceKey::localizedName, ResourceKey::fileSize,
               ResourceKey::effectiveIcon, ResourceKey::isDirectory,   ResourceKey::isPackage};
  if (Paths::shared().layout() == Layout::Linux) {
    // In an "info" folder only the information files whose item is gone
    // are listed (another program emptied "files" alone): nothing else ever
    // removes them. The information file of an item still there goes with
    // that item.
    plan.filterOf = [](const CategoryPtr&) -> SuperScanService::FilterFunc {
      return [](const ResourceValues& values, DirectoryEnumerator*) {
        const size_t slash = values.path.rfind('/');
        if (slash == std::string::npos || !values.path.substr(0, slash).ends_with("/info")) {
          return true;
        }
        std::string item = values.name;
        if (item.ends_with(".trashinfo")) item.resize(item.size() - 10);
        const std::string files = values.path.substr(0, slash - 4) + "files";
        struct stat st {};
        return isDirectory(files) && ::lstat((files + "/" + item).c_str(), &st) != 0;
      };
    };
  }
  // A trashed dot file is an item like any other in a freedesktop.org trash;
  // the macOS trash's hidden files are the Finder's own.
  plan.options = EnumerationOptions::skipsPackageDescendants |
                 EnumerationOptions::skipsSubdirectoryDescendants;
  if (Paths::shared().layout() != Layout::Linux) {
    plan.options = plan.options | EnumerationOptions::skipsHiddenFiles;
  }
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
