// iTunesScanService: backups of mobile devices, one record per backup
// folder, titled with the device's name ("Display Name" of the backup's
// Info.plist, read from a copy in the support folder), else the folder name.
//
// Log lines: "iTunes Scan Start", "iTunes Scan Scanning", "iTunes Scan
// Suspend", "iTunes Scan Finish". `done` runs on the main-queue thread.
#pragma once

#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/scan/master/junk_callbacks.h"

namespace orvexa {

class iTunesScanService : public SuperScanService {
 public:
  static void scaniTunesJunk(const FeaturePtr& featureInfo, ScanProgress progress,
                             ScanShowPercent showPercent, ScanSingleDone singleDone,
                             FeatureDone done, const std::shared_ptr<SerialGCDService>& dispatch);
  static void scanProiTunesJunk(const FeaturePtr& featureInfo, ScanProgress progress,
                                ScanShowPercent showPercent, ScanSingleDone singleDone,
                                FeatureDone done,
                                const std::shared_ptr<SerialGCDService>& dispatch);
};

}  // namespace orvexa
