// What a set of resource keys asks the file system for.
#pragma once

#include "orvexa/scan/engine/super_scan_service.h"

namespace orvexa::engine_internal {

inline ResourceFetch fetchFor(const ResourceKeys& keys) {
  return keys.count(ResourceKey::localizedTypeDescription) || keys.count(ResourceKey::effectiveIcon)
             ? ResourceFetch::withType
             : ResourceFetch::basic;
}

}  // namespace orvexa::engine_internal
