// The commands of the program. Each returns the process exit status; errors
// go to standard error.
#pragma once

#include "context.h"

namespace orvexa::cli {

int runCatalogue(const CommonOptions& options);

enum class JunkScan { system, trash, mail, backups, photos };
// The catalogue module type each of these scans looks for.
const char* junkModuleType(JunkScan scan);
int runJunkScan(const CommonOptions& options, JunkScan scan);

}  // namespace orvexa::cli
