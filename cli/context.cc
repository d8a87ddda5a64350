#include "context.h"

#include <fmt/core.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/paths.h"

namespace orvexa::cli {

namespace {
// The command's errors, and whether it printed its document; any thread.
std::mutex errorsMutex;
std::vector<std::string> errorsSoFar;
bool documentPrinted = false;
}  // namespace

void printError(const std::string& message) {
  std::lock_guard lock(errorsMutex);
  fmt::print(stderr, "orvexa: {}\n", message);
  errorsSoFar.push_back(message);
}

void noteDocumentPrinted() {
  std::lock_guard lock(errorsMutex);
  documentPrinted = true;
}

void printErrorDocument(int exitCode) {
  std::lock_guard lock(errorsMutex);
  if (documentPrinted || exitCode == 0) return;
  nlohmann::json errors = nlohmann::json::array();
  for (const std::string& message : errorsSoFar) errors.push_back(message);
  fmt::print("{}\n",
             nlohmann::json{{"success", false}, {"exitCode", exitCode}, {"errors", errors}}.dump(
                 2, ' ', false, nlohmann::json::error_handler_t::replace));
  std::fflush(stdout);
  documentPrinted = true;
}

bool applyCommonOptions(const CommonOptions& options) {
  Paths& paths = Paths::shared();
  if (std::optional<Layout> layout = Paths::parseLayout(options.layout)) paths.setLayout(*layout);
  // Absolute and without "." or ".." components: the scans compare the
  // paths they find with the paths table's, and the helper refuses paths
  // holding such components.
  if (!options.root.empty()) {
    std::error_code ec;
    std::filesystem::path root = std::filesystem::absolute(options.root, ec);
    paths.setRoot(ec ? options.root : root.lexically_normal().string());
  }
  for (const std::string& tool : options.tools) {
    size_t eq = tool.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == tool.size()) {
      printError("--tool takes NAME=PATH, got \"" + tool + "\"");
      return false;
    }
    paths.setTool(tool.substr(0, eq), tool.substr(eq + 1));
  }
  return true;
}

std::vector<ModulePtr> loadCatalogue(const CommonOptions& options) {
  std::vector<ModulePtr> modules = options.moduleFile.empty()
                                       ? ModuleInformation::getDefault()
                                       : ModuleInformation::get(options.moduleFile);
  if (modules.empty() && options.moduleFile.empty()) {
    printError("the built-in catalogue holds no module");
  } else if (modules.empty()) {
    // A file that is no regular file is said at once; a parse error is long
    // and goes to the log.
    FileStatus kind = checkRegularFile(options.moduleFile);
    printError("no module could be read from " +
               (kind.ok() ? options.moduleFile + " (the log file says why)" : kind.message()));
  }
  return modules;
}

namespace {
bool linuxCatalogueLeavesOut(const CommonOptions& options) {
  return !options.feature && options.moduleFile.empty() &&
         Paths::shared().layout() == Layout::Linux;
}
}  // namespace

int featureMissingStatus(const CommonOptions& options) {
  return linuxCatalogueLeavesOut(options) ? 2 : 1;
}

FeaturePtr selectFeature(const std::vector<ModulePtr>& modules, const CommonOptions& options,
                         const std::string& moduleType) {
  if (options.feature) {
    FeaturePtr f = findFeatureByFinderID(modules, *options.feature);
    if (!f)
      printError(fmt::format("the catalogue has no feature with finderID {}", *options.feature));
    return f;
  }
  FeaturePtr f = findFeatureByModuleType(modules, moduleType);
  if (!f && linuxCatalogueLeavesOut(options)) {
    printError("\"" + moduleType +
               "\" has no Linux counterpart: the built-in Linux catalogue leaves it out (see "
               "--layout and --module-file)");
  } else if (!f)
    printError("the catalogue has no module of type \"" + moduleType + "\"");
  return f;
}

}  // namespace orvexa::cli
