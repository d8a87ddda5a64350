// TrashBinScanService: the user's trash and the trash folders of other
// mounted volumes.
//
// The other volumes' category: the description file cannot give a category
// the kind OtherTrashBin, so at the start of a scan every category of the
// feature that lists no folder of its own becomes the other-volumes category:
// its kind is set to OtherTrashBin and its `urls` to the per-user trash
// folders getUSBInfo() finds at that moment (Paths::volumeTrashFolders: on
// macOS <volume>/.Trashes/<uid>; on Linux the files/ folder of
// <volume>/.Trash-<uid> and of <volume>/.Trash/<uid>). A
// category that already has kind OtherTrashBin is filled the same way.
// `otherTrashBinDesc` becomes that category's description.
//
// Log lines: "Trash Scan Start", "Trash Scan Scanning", "Trash Scan Suspend",
// "Trash Scan Finish". `done` runs on the main-queue thread.
#pragma once

#include <string>
#include <utility>

#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/scan/master/junk_callbacks.h"

namespace orvexa {

class TrashBinScanService : public SuperScanService {
 public:
  // Image name for trash results without an icon of their own. Set before
  // scans start.
  static inline std::string defaultTrashBinImage = "TrashBin_Default";

  static void scanTrashBin(const FeaturePtr& featureInfo, ScanProgress progress,
                           ScanShowPercent showPercent, ScanSingleDone singleDone, FeatureDone done,
                           const std::string& otherTrashBinDesc,
                           const std::shared_ptr<SerialGCDService>& dispatch);
  static void scanProTrashBin(const FeaturePtr& featureInfo, ScanProgress progress,
                              ScanShowPercent showPercent, ScanSingleDone singleDone,
                              FeatureDone done, const std::string& otherTrashBinDesc,
                              const std::shared_ptr<SerialGCDService>& dispatch);

  // The per-user trash folders of the mounted volumes (the entries of the
  // paths table's volumes folder), with the volumes' names. Volumes whose
  // path starts with a "System" component are skipped.
  static std::vector<std::pair<Url, std::string>> getUSBInfo();
};

}  // namespace orvexa
