// Reading another program's property list through a copy of it in the
// engine's support folder, so the program's own file is never held open.
#pragma once

#include <optional>
#include <string>

#include "orvexa/platform/plist.h"

namespace orvexa::master {

// Copies `source` to <support folder>/<copyName> (replacing an earlier
// copy), reads the copy and removes it. Nothing when any step fails.
std::optional<PlistValue> readSupportCopy(const std::string& source, const std::string& copyName);

}  // namespace orvexa::master
