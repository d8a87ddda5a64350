// Callbacks shared by the scanners that list the catalogue's folders
// (system junk, trash, mail attachments, device backups, Photos caches).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "orvexa/model/records.h"

namespace orvexa {

// What one category of such a scan found: its records, numbered 0, 1, 2, ...
// in the order of the category's URLs, and the summed totals of its URLs.
struct CategoryResult {
  std::vector<FilePtr> files;
  ScanFilesInformation summary;
};

using ScanProgress = std::function<void(const std::string& path, int64_t size)>;
using ScanShowPercent = std::function<void(float)>;
// Position of the category in the feature's categoryInfo, and its result.
using ScanSingleDone = std::function<void(int, const CategoryResult&)>;
// The feature, and the total size of what its categories hold.
using FeatureDone = std::function<void(const FeaturePtr&, int64_t)>;

}  // namespace orvexa
