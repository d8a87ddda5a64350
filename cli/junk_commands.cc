// orvexa junk | trash | mail | backups | photos: the scanners that list the
// catalogue's folders.
#include <nlohmann/json.hpp>

#include "command_registry.h"
#include "orvexa/scan/master/email_scan_service.h"
#include "orvexa/scan/master/itunes_scan_service.h"
#include "orvexa/scan/master/photo_scan_service.h"
#include "orvexa/scan/master/system_scan_service.h"
#include "orvexa/scan/master/trash_bin_scan_service.h"
#include "output.h"
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
  if (options.clean.enabled) {
    // The listing first (as text), then what the clean did; with --json the
    // clean prints the one document.
    if (!options.json) printFeatureTree(*feature, total);
    return cleanFeature(options, feature, CleanServiceType::Common);
  }
  if (options.json) {
    printFeatureJson(*feature, {{"total", total}});
  } else {
    printFeatureTree(*feature, total);
  }
  return 0;
}

enum class JunkScan { system, trash, mail, backups, photos };

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
  if (!feature) return featureMissingStatus(options);

  ScanSession session(options, feature);
  auto finishedFeature = [&session](const FeaturePtr&, int64_t) { session.finish(); };
  const auto& queue = session.queue();
  switch (scan) {
    case JunkScan::system:
      SystemScanService::scan(
          feature, nullptr, session.showPercent(), nullptr,
          [&session](std::map<int, CategoryResult>) { session.finish(); }, queue);
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

std::string junkHelp(const char* text, JunkScan scan) {
  return std::string(text) + " (module type \"" + junkModuleType(scan) + "\")";
}

const CommandRegistrar kJunk({"junk",
                              junkHelp("Caches, logs and other system junk", JunkScan::system),
                              {},
                              [](const CommonOptions& o) {
                                return runJunkScan(o, JunkScan::system);
                              },
                              /*acceptsClean=*/true});
const CommandRegistrar kTrash(
    {"trash",
     junkHelp("The user's trash and the trash folders of other volumes", JunkScan::trash),
     {},
     [](const CommonOptions& o) { return runJunkScan(o, JunkScan::trash); },
     /*acceptsClean=*/true});
const CommandRegistrar kMail({"mail",
                              junkHelp("Attachments kept in the mail store", JunkScan::mail),
                              {},
                              [](const CommonOptions& o) { return runJunkScan(o, JunkScan::mail); },
                              /*acceptsClean=*/true});
const CommandRegistrar kBackups({"backups",
                                 junkHelp("Backups of mobile devices", JunkScan::backups),
                                 {},
                                 [](const CommonOptions& o) {
                                   return runJunkScan(o, JunkScan::backups);
                                 },
                                 /*acceptsClean=*/true});
const CommandRegistrar kPhotos(
    {"photos",
     junkHelp("Regenerable caches of the photo library", JunkScan::photos),
     {},
     [](const CommonOptions& o) { return runJunkScan(o, JunkScan::photos); },
     /*acceptsClean=*/true});

}  // namespace

}  // namespace orvexa::cli
