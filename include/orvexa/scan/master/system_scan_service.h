// SystemScanService: fills the categories of the system junk feature. Every
// top-level item of a category's folders becomes one record; folders are
// sized by their whole content.
//
// Categories of kind SystemCache skip the kernel-extension and XPC helper
// caches ("com.apple.kext.caches", "com.apple.xpchelper.cache"); hidden items
// are never listed. A folder that is itself a folder of another category of
// the feature (the thumbnails or a developer cache inside the user's cache
// folder) is listed there only. Each category also gets its records as `childrens` and
// their total as `size`.
//
// Two folders of the paths table's Linux layout are listed in part: the
// package archives folder lists only "*.deb" files (its lock and its partial
// downloads folder, a category folder of its own, stay), and the system log
// folder, with each folder directly inside it, only rotated or archived logs
// (isRotatedLog).
//
// Log lines: "System Scan Start", "System Scan Scanning" (a second start
// while one runs; nothing else happens), "System Scan Suspend" (the scan was
// stopped) and "System Scan Finish".
//
// Threading: scan() returns at once; the walks run on the global pool; every
// merge and the singleDone and done calls run on `dispatch`, one at a time.
#pragma once

#include <memory>
#include <string_view>

#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/scan/master/junk_callbacks.h"

namespace orvexa {

class SystemScanService : public SuperScanService {
 public:
  using JunkDone = std::function<void(std::map<int, CategoryResult>)>;

  static void scan(const FeaturePtr& featureInfo, ScanProgress progress,
                   ScanShowPercent showPercent, ScanSingleDone singleDone, JunkDone done,
                   const std::shared_ptr<SerialGCDService>& dispatch);
  static void scanPro(const FeaturePtr& featureInfo, ScanProgress progress,
                      ScanShowPercent showPercent, ScanSingleDone singleDone, JunkDone done,
                      const std::shared_ptr<SerialGCDService>& dispatch);

  // Renumbers the records of each category 0, 1, 2, ... and hands the
  // categories to `finish` (after records were taken out, e.g. by a clean).
  static void update(const std::vector<CategoryPtr>& JunkCategory,
                     const std::function<void(const std::vector<CategoryPtr>&)>& finish);

  // A log name as rotation leaves it: "syslog.1", "dpkg.log.2.gz",
  // "auth.log-20261201", "Xorg.0.log.old", "*.gz" / ".xz" / ".bz2" / ".zst".
  static bool isRotatedLog(std::string_view name);

  // The filter of SystemCache categories.
  static bool systemCacheFilter(const ResourceValues& values, DirectoryEnumerator* enumerator);
};

}  // namespace orvexa
