// PhotoScanService: regenerable pictures inside the user's photo library
// package: the first item, anywhere in <home>/Pictures (depth first, names
// in byte order), whose name contains "photoslibrary". The search follows
// no symbolic link (not even a Pictures that is one), looks at most 6
// folders deep and at 100,000 items, so that a huge Pictures folder cannot
// stall the scan. Files whose name contains ".png", ".jpg" or ".jpeg" are
// listed, whatever their content.
//
// Folders listed: the library followed by each of the four osx12 paths, and
// also by osx11PhotoPath1 (the older layout's folder), so that libraries
// made by either layout are covered. Every category of the feature lists
// these folders.
//
// Log lines: "Photos Scan Start", "Photos Scan Scanning", "Photos Scan
// Suspend", "Photos Scan Finish". `done` runs on the main-queue thread.
//
// The relative paths are class-level settings: set them before scans start.
#pragma once

#include <optional>
#include <string>

#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/scan/master/junk_callbacks.h"

namespace orvexa {

class PhotoScanService : public SuperScanService {
 public:
  static inline std::string osx12PhotoPath1 = "resources/media/face";
  static inline std::string osx12PhotoPath2 = "resources/media/master";
  static inline std::string osx12PhotoPath3 = "resources/Version";
  static inline std::string osx12PhotoPath4 = "resources/caches";
  static inline std::string osx11PhotoPath1 = "resources/media/moduleresources";

  static void scaniPhotoJunk(const FeaturePtr& featureInfo, ScanProgress progress,
                             ScanShowPercent showPercent, ScanSingleDone singleDone,
                             FeatureDone done, const std::shared_ptr<SerialGCDService>& dispatch);
  static void scanProiPhotoJunk(const FeaturePtr& featureInfo, ScanProgress progress,
                                ScanShowPercent showPercent, ScanSingleDone singleDone,
                                FeatureDone done,
                                const std::shared_ptr<SerialGCDService>& dispatch);

  static std::optional<Url> getPhotoslibraryPath();
};

}  // namespace orvexa
