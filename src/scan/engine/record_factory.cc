// The record factory: FileInformation records from resource values.
#include <chrono>

#include "orvexa/platform/identity.h"
#include "orvexa/scan/engine/super_scan_service.h"
#include "scan/engine/resource_fetch.h"

namespace orvexa {
FilesKind SuperScanService::kindOf(const ResourceValues& values) {
  if (values.isPackage) return FilesKind::Package;
  if (values.isDirectory) return FilesKind::Folder;
  return FilesKind::File;
}

FilePtr SuperScanService::makeFileInformation(const ResourceValues& values, int state, int finderID,
                                              const CategoryPtr& categoryInfo, int64_t size) {
  bool canDelete = isDeletableFileAtPath(values.path) &&
                   ownerAccountName(values.path) == Identity::shared().userName();
  Image icon = values.effectiveIcon.empty() ? defaultImage() : values.effectiveIcon;
  std::string title = values.localizedName.empty() ? defaultTitle : values.localizedName;
  Timestamp date = values.creationDate.value_or(std::chrono::system_clock::now());
  auto record = std::make_shared<FileInformation>(
      state, finderID, categoryInfo ? categoryInfo->finderID() : 0, std::move(title),
      std::move(icon), size, date, Url::fromPath(values.path, values.isDirectory), "", canDelete,
      false, std::any{}, std::vector<FilePtr>{}, categoryInfo, raw(kindOf(values)), 0, nullptr);
  record->setListedIdentity(values.identity);
  return record;
}

FilePtr SuperScanService::getFileInformationFromUrl(const Url& url,
                                                    const ResourceKeys& propertiesForKey,
                                                    const CategoryPtr& categoryInfo,
                                                    std::optional<int64_t> inputSize) {
  std::optional<ResourceValues> values =
      resourceValues(url.path(), engine_internal::fetchFor(propertiesForKey));
  if (!values) return nullptr;
  int64_t size = inputSize ? *inputSize : calculateSize(url, kindOf(*values));
  int finderID = categoryInfo ? static_cast<int>(categoryInfo->childrens.size()) : 0;
  return makeFileInformation(*values, 0, finderID, categoryInfo, size);
}

FilePtr SuperScanService::getFileInformationFromUrl(const Url& url,
                                                    const ResourceKeys& propertiesForKey,
                                                    std::optional<int64_t> inputSize) {
  return getFileInformationFromUrl(url, propertiesForKey, nullptr, inputSize);
}

}  // namespace orvexa
