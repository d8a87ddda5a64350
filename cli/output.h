// Terminal and JSON renderings of the result tree.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

#include "orvexa/model/records.h"
#include "orvexa/units/json_text.h"
#include "orvexa/units/size_text.h"

namespace orvexa::cli {

// "0 B", "512 B", "1.5 KB", "23.4 MB", ... (powers of 1000, as the platform
// shows sizes).
using orvexa::humanSize;

// ISO 8601 in UTC: "2024-01-02T03:04:05Z".
using orvexa::isoDate;

// The feature as a document, for callers that add to it before printing;
// the layout is json_stream.h's.
nlohmann::json featureToJson(const FeatureInformation& feature);
nlohmann::json moduleToJson(const ModuleInformation& module);

// Prints a scan result: each category with its size, its records largest
// first (children indented), and a total line.
void printFeatureTree(const FeatureInformation& feature, int64_t total);
// Prints a JSON document on standard output (and flushes it).
void printJson(const nlohmann::json& document);
// Prints the object `more` with the feature added under "feature", writing
// the records as it goes (json_stream.h) rather than building the document.
void printFeatureJson(const FeatureInformation& feature, const nlohmann::json& more);

// Standard output could not be written (a full disk, a closed pipe). Thrown
// by writeOutput and flushOutput; run() turns it into exit status 74
// (EX_IOERR) with the reason on standard error. fmt::print on stdout throws
// std::system_error instead, which run() treats alike.
struct OutputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Writes `bytes` on standard output; throws OutputError when it fails.
void writeOutput(std::string_view bytes);
// Hands what is buffered for standard output to the system; throws
// OutputError when anything written so far failed. Called before a clean
// removes anything, so that a listing that could not be shown stops it.
void flushOutput();

// Asks `question` on standard error ("… [y/N] ") and reads one line of
// standard input: true only for "y" or "yes" (any case, blanks ignored).
bool askedYes(std::string_view question);

}  // namespace orvexa::cli
