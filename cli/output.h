// Terminal and JSON renderings of the result tree.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "orvexa/model/records.h"
#include "orvexa/units/size_text.h"

namespace orvexa::cli {

// "0 B", "512 B", "1.5 KB", "23.4 MB", ... (powers of 1000, as the platform
// shows sizes).
using orvexa::humanSize;

// ISO 8601 in UTC: "2024-01-02T03:04:05Z".
std::string isoDate(Timestamp date);

nlohmann::json fileToJson(const FileInformation& file);
nlohmann::json categoryToJson(const CategoryInformation& category);
nlohmann::json featureToJson(const FeatureInformation& feature);
nlohmann::json moduleToJson(const ModuleInformation& module);

// Prints a scan result: each category with its size, its records largest
// first (children indented), and a total line.
void printFeatureTree(const FeatureInformation& feature, int64_t total);
// Prints a JSON document on standard output.
void printJson(const nlohmann::json& document);

}  // namespace orvexa::cli
