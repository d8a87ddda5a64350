// Filing records into the twelve views of the all-files category, shared by
// the scans and the rebuild after a clean.
#pragma once

#include <cstdint>

#include "orvexa/scan/large_old/large_and_old_file_service.h"

namespace orvexa::large_old {

// The three age limits, taken from one moment.
struct AgeLimits {
  Timestamp year;
  Timestamp month;
  Timestamp week;

  static AgeLimits before(Timestamp now);
};

LargeAndFileKind ageBucket(Timestamp date, const AgeLimits& limits);
LargeAndFileKind sizeBucket(int64_t size);

// True when the category holds its twelve views (none of them null).
bool hasViews(const CategoryInformation& allCategory);

// Appends `file` to the category and adds its size.
void append(CategoryInformation& category, const FilePtr& file);

// Files `file` into the type bucket given and its age and size buckets.
// `allCategory` must have its views (hasViews).
void fileInto(const CategoryInformation& allCategory, const FilePtr& file, int typeBucket,
              const AgeLimits& limits);

// Empties every view: no records, size 0.
void emptyViews(const CategoryInformation& allCategory);

}  // namespace orvexa::large_old
