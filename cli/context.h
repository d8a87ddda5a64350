// What every command shares: the common options, applied to the paths table,
// and the catalogue they select.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "orvexa/model/records.h"

namespace orvexa::cli {

// --clean and its companions (scan commands that accept them; see
// clean_feature.h).
struct CleanOptions {
  bool enabled = false;             // --clean: delete what the scan found
  std::vector<std::string> select;  // --select GLOB (repeatable): only matching paths
  bool yes = false;                 // --yes: do not ask
  bool final = false;               // --final: remove for good, never move to the trash
  bool undoable = false;            // --undoable: move every item to the trash
};

struct CommonOptions {
  std::string moduleFile;          // empty: the built-in catalogue
  std::string root;                // sandbox root for every system location
  std::string layout;              // "macos", "linux", or empty for the host's
  std::vector<std::string> tools;  // NAME=PATH
  bool quiet = false;              // no progress output
  bool json = false;               // one JSON document on standard output
  std::optional<int> feature;      // pick the feature by finderID
  CleanOptions clean;
};

// Applies --layout, --root and --tool to the paths table. False (with a message on
// standard error) for a malformed --tool.
bool applyCommonOptions(const CommonOptions& options);

// The catalogue the options name; empty (with a message on standard error)
// when it holds no module.
std::vector<ModulePtr> loadCatalogue(const CommonOptions& options);

// The feature a scan command works on: --feature N, else the first feature
// of the module whose "type" is `moduleType`. Null, with a message on
// standard error, when there is none (the built-in Linux catalogue leaves out
// the modules that have no Linux counterpart, and the message says so).
FeaturePtr selectFeature(const std::vector<ModulePtr>& modules, const CommonOptions& options,
                         const std::string& moduleType);

// The exit status of a command whose selectFeature found nothing: 2, as for
// a usage error, when the built-in Linux catalogue leaves the module out;
// else 1.
int featureMissingStatus(const CommonOptions& options);

// Writes "orvexa: <message>" to standard error, and keeps it for
// printErrorDocument.
void printError(const std::string& message);

// With --json, a command that ends without printing its document (a usage
// error, a refusal) still prints one: {"success": false, "exitCode": N,
// "errors": [the messages of printError]}. Does nothing once a document was
// printed (printJson) or for status 0.
void printErrorDocument(int exitCode);
// Marks that the command printed its document.
void noteDocumentPrinted();

}  // namespace orvexa::cli
