#pragma once

#include <any>
#include <chrono>
#include <memory>
#include <vector>

namespace orvexa {

class ModuleInformation;
class FeatureInformation;
class CategoryInformation;
class FileInformation;
struct ScanFilesInformation;

using ModulePtr = std::shared_ptr<ModuleInformation>;
using FeaturePtr = std::shared_ptr<FeatureInformation>;
using CategoryPtr = std::shared_ptr<CategoryInformation>;
using FilePtr = std::shared_ptr<FileInformation>;

// Dates of records: wall-clock time points.
using Timestamp = std::chrono::system_clock::time_point;

}  // namespace orvexa
