// orvexa junk | trash | mail | backups | photos: the scanners that list the
// catalogue's folders.
#include <nlohmann/json.hpp>

#include "commands.h"
#include "output.h"
#include "orvexa/scan/master/email_scan_service.h"
#include "orvexa/scan/master/itunes_scan_service.h"
#include "orvexa/scan/master/photo_scan_service.h"
#include "orvexa/scan/master/system_scan_service.h"
#include "orvexa/scan/master/trash_bin_scan_service.h"
#include "scan_session.h"

namespace orvexa::cli {
namespace {

int64_t totalOf(const FeatureInformation& feature) {
  int64_t total = 0;
  for (const CategoryPtr& c : feature.categoryInfo) total += c->size;
  return total;
}

int report(const CommonOptions& options, const FeaturePtr& feature) {
  int64_t total = totalOf(*feature);
  if (options.json) {
    printJson(nlohmann::json{{"feature", featureToJson(*feature)}, {"total", total}});
  } else {
    printFeatureTree(*feature, total);
  }
  return 0;
}

}  // namespace

const char* junkModuleType(JunkScan scan) {
  switch (scan) {
    case JunkScan::system:
      return "SystemJunk";
    case JunkScan::trash:
      return "TrashBin";
    case JunkScan::mail:
      return "MailAttachment";
    case JunkScan::backups:
      return "DeviceBackup";
    case JunkScan::photos:
      return "PhotosJunk";
  }
  return "";
}

int runJunkScan(const CommonOptions& options, JunkScan scan) {
  std::vector<ModulePtr> modules = loadCatalogue(options);
  if (modules.empty()) return 1;
  FeaturePtr feature = selectFeature(modules, options, junkModuleType(scan));
  if (!feature) return 1;

  ScanSession session(options, feature);
  auto finishedFeature = [&session](const FeaturePtr&, int64_t) { session.finish(); };
  const auto& queue = session.queue();
  switch (scan) {
    case JunkScan::system:
      SystemScanService::scan(feature, nullptr, session.showPercent(), nullptr,
                              [&session](std::map<int, CategoryResult>) { session.finish(); },
                              queue);
      break;
    case JunkScan::trash:
      TrashBinScanService::scanTrashBin(feature, nullptr, session.showPercent(), nullptr,
                                        finishedFeature, "On other volumes", queue);
      break;
    case JunkScan::mail:
      EmailScanService::scanEmailJunk(feature, nullptr, session.showPercent(), nullptr,
                                      finishedFeature, queue);
      break;
    case JunkScan::backups:
      iTunesScanService::scaniTunesJunk(feature, nullptr, session.showPercent(), nullptr,
                                        finishedFeature, queue);
      break;
    case JunkScan::photos:
      PhotoScanService::scaniPhotoJunk(feature, nullptr, session.showPercent(), nullptr,
                                       finishedFeature, queue);
      break;
  }
  session.wait();
  return report(options, feature);
}

}  // namespace orvexa::cli
