#include "scan/master/support_copy.h"

#include "orvexa/platform/file_manager.h"
#include "orvexa/scan/engine/super_scan_service.h"

namespace orvexa::master {

std::optional<PlistValue> readSupportCopy(const std::string& source, const std::string& copyName) {
  if (!fileExists(source)) return std::nullopt;
  const std::string folder = SuperScanService::supportFolder().path();
  const std::string copy = folder + "/" + copyName;
  (void)createDirectory(folder, true);
  (void)removeItem(copy);
  if (!copyItem(source, copy).ok()) return std::nullopt;
  std::optional<PlistValue> value = readPlistFile(copy);
  (void)removeItem(copy);
  return value;
}

}  // namespace orvexa::master
