#include "context.h"

#include <fmt/core.h>

#include <cstdio>

#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/paths.h"

namespace orvexa::cli {

void printError(const std::string& message) { fmt::print(stderr, "orvexa: {}\n", message); }

bool applyCommonOptions(const CommonOptions& options) {
  Paths& paths = Paths::shared();
  if (!options.root.empty()) paths.setRoot(options.root);
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

FeaturePtr selectFeature(const std::vector<ModulePtr>& modules, const CommonOptions& options,
                         const std::string& moduleType) {
  if (options.feature) {
    FeaturePtr f = findFeatureByFinderID(modules, *options.feature);
    if (!f)
      printError(fmt::format("the catalogue has no feature with finderID {}", *options.feature));
    return f;
  }
  FeaturePtr f = findFeatureByModuleType(modules, moduleType);
  if (!f) printError("the catalogue has no module of type \"" + moduleType + "\"");
  return f;
}

}  // namespace orvexa::cli
