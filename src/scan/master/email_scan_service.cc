#include "orvexa/scan/master/email_scan_service.h"

#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "scan/master/category_scan.h"
#include "scan/master/support_copy.h"

namespace orvexa {

Url EmailScanService::mailStore() {
  return Url::fromPath(Paths::shared().userLibrary() + "/Mail", true);
}

std::vector<std::string> EmailScanService::getMailAttachmentsDirectoryId(const Url& url) {
  std::vector<std::string> names;
  std::optional<PlistValue> info =
      master::readSupportCopy(url.path() + "/PersistenceInfo.plist", "PersistenceInfo.plist");
  if (!info || !info->asDictionary()) return names;
  for (const auto& [key, value] : info->asDictionary()->entries) {
    if (key.find("VersionDirectoryIdentifiers") == std::string::npos) continue;
    if (const PlistValue::Array* list = value.asArray()) {
      for (const PlistValue& item : *list) {
        if (const std::string* s = item.asString()) names.push_back(*s);
      }
    }
  }
  return names;
}

void EmailScanService::scanEmailJunk(const FeaturePtr& featureInfo, ScanProgress progress,
                                     ScanShowPercent showPercent, ScanSingleDone singleDone,
                                     FeatureDone done,
                                     const std::shared_ptr<SerialGCDService>& dispatch) {
  scanProEmailJunk(featureInfo, std::move(progress), std::move(showPercent), std::move(singleDone),
                   std::move(done), dispatch);
}

void EmailScanService::scanProEmailJunk(const FeaturePtr& featureInfo, ScanProgress progress,
                                        ScanShowPercent showPercent, ScanSingleDone singleDone,
                                        FeatureDone done,
                                        const std::shared_ptr<SerialGCDService>& dispatch) {
  if (!featureInfo || !dispatch) return;
  master::CategoryScanPlan plan;
  plan.name = "Email";
  plan.keys = {ResourceKey::path,          ResourceKey::localizedName, ResourceKey::fileSize,
               ResourceKey::effectiveIcon, ResourceKey::isDirectory,   ResourceKey::isPackage};
  plan.urlsOf = [](const CategoryPtr& category) {
    std::vector<Url> urls = category->urls;
    urls.push_back(mailStore());
    return urls;
  };
  plan.filterOf = [](const CategoryPtr&) -> FilterFunc {
    return [](const ResourceValues& values, DirectoryEnumerator* enumerator) {
      return enumerator != nullptr && enumerator->level() > 3 &&
             values.path.find("/Attachments/") != std::string::npos && !values.isDirectory;
    };
  };
  master::runCategoryScan(featureInfo, plan, std::move(progress), std::move(showPercent),
                          std::move(singleDone), master::finishOnMainQueue(featureInfo, done),
                          dispatch);
}

}  // namespace orvexa
