// Shared between the maintenance service's sources.
#pragma once

#include "orvexa/platform/url.h"

namespace orvexa {

// Whether the folder holding `path` is a " Disabled" twin. Only the folder's
// own name counts, so a root folder whose name happens to hold the words
// does not switch every item off.
bool maintenanceItemIsDisabled(const Url& path);

}  // namespace orvexa
