// Resource values of an entry named relative to an open folder, shared by
// resourceValues() and the directory walks (which work relative to folder
// descriptors so that paths longer than PATH_MAX still work).
#pragma once

#include <sys/stat.h>

#include <string>

#include "orvexa/platform/resource_values.h"

namespace orvexa::detail {

ResourceValues::TimePoint toTimePoint(const struct statx_timestamp& ts);
// The birth time when the file system gives one, else the status-change
// time, and never later than the modification time (setting an earlier
// modification date moves the creation date back, as on the platform).
ResourceValues::TimePoint creationDateOf(const struct statx& stx);

// Fills `out` for the entry `name` of the folder open at `dirFd` (AT_FDCWD
// with an absolute or relative name is fine). `path` is what out->path
// becomes. Returns 0, or the errno of the failed call.
int resourceValuesAt(int dirFd, const char* name, std::string path, ResourceFetch fetch,
                     ResourceValues* out);

}  // namespace orvexa::detail
