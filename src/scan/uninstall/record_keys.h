// The resource values every uninstaller record is built with, on both
// layouts. Private to the uninstaller family.
#pragma once

#include "orvexa/scan/engine/super_scan_service.h"

namespace orvexa::uninstall {

inline const ResourceKeys& recordKeys() {
  static const ResourceKeys keys = {ResourceKey::isDirectory,
                                    ResourceKey::isPackage,
                                    ResourceKey::fileSize,
                                    ResourceKey::contentModificationDate,
                                    ResourceKey::localizedName,
                                    ResourceKey::effectiveIcon,
                                    ResourceKey::localizedTypeDescription};
  return keys;
}

}  // namespace orvexa::uninstall
