#include "orvexa/scan/master/photo_scan_service.h"

#include <sys/stat.h>

#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/paths.h"
#include "scan/master/category_scan.h"

namespace orvexa {
namespace {

// Bounds of the search for the library in Pictures: a library sits a few
// folders down at most, and a huge or deep Pictures folder must not stall
// the scan.
constexpr int kLibrarySearchDepth = 6;
constexpr size_t kLibrarySearchEntries = 100'000;

}  // namespace

std::optional<Url> PhotoScanService::getPhotoslibraryPath() {
  const std::string pictures = Paths::shared().userHome() + "/Pictures";
  struct stat status {};
  if (::lstat(pictures.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return std::nullopt;
  DirectoryEnumerator walk(pictures, EnumerationOptions::none,
                           [](const std::string&, const std::string&) { return true; });
  for (size_t seen = 0; seen < kLibrarySearchEntries; ++seen) {
    const std::optional<ResourceValues> item = walk.next();
    if (!item) break;
    if (item->isSymbolicLink) continue;
    if (item->name.find("photoslibrary") != std::string::npos) return Url::fromPath(item->path);
    if (walk.level() >= kLibrarySearchDepth) walk.skipDescendants();
  }
  return std::nullopt;
}

void PhotoScanService::scaniPhotoJunk(const FeaturePtr& featureInfo, ScanProgress progress,
                                      ScanShowPercent showPercent, ScanSingleDone singleDone,
                                      FeatureDone done,
                                      const std::shared_ptr<SerialGCDService>& dispatch) {
  scanProiPhotoJunk(featureInfo, std::move(progress), std::move(showPercent), std::move(singleDone),
                    std::move(done), dispatch);
}

void PhotoScanService::scanProiPhotoJunk(const FeaturePtr& featureInfo, ScanProgress progress,
                                         ScanShowPercent showPercent, ScanSingleDone singleDone,
                                         FeatureDone done,
                                         const std::shared_ptr<SerialGCDService>& dispatch) {
  if (!featureInfo || !dispatch) return;
  std::vector<Url> folders;
  if (std::optional<Url> library = getPhotoslibraryPath()) {
    for (const std::string* sub : {&osx12PhotoPath1, &osx12PhotoPath2, &osx12PhotoPath3,
                                   &osx12PhotoPath4, &osx11PhotoPath1}) {
      folders.push_back(Url::fromPath(library->path() + "/" + *sub, true));
    }
  }
  master::CategoryScanPlan plan;
  plan.name = "Photos";
  plan.keys = {ResourceKey::path,          ResourceKey::localizedName, ResourceKey::fileSize,
               ResourceKey::effectiveIcon, ResourceKey::isDirectory,   ResourceKey::isPackage,
               ResourceKey::isHidden,      ResourceKey::isRegularFile};
  plan.urlsOf = [folders](const CategoryPtr&) { return folders; };
  plan.filterOf = [](const CategoryPtr&) -> FilterFunc {
    return [](const ResourceValues& values, DirectoryEnumerator*) {
      for (const char* ext : {".png", ".jpg", ".jpeg"}) {
        if (values.name.find(ext) != std::string::npos) return true;
      }
      return false;
    };
  };
  master::runCategoryScan(featureInfo, plan, std::move(progress), std::move(showPercent),
                          std::move(singleDone), master::finishOnMainQueue(featureInfo, done),
                          dispatch);
}

}  // namespace orvexa
