// orvexa catalogue: the modules, features and categories of the catalogue.
#include <fmt/core.h>

#include <nlohmann/json.hpp>

#include "command_registry.h"
#include "output.h"

namespace orvexa::cli {
namespace {

void printCategory(const CategoryInformation& c, int depth) {
  fmt::print("{:{}}[{}] {} (kind {})\n", "", depth * 2, c.finderID(), c.title, c.kind);
  for (const Url& u : c.urls) fmt::print("{:{}}{}\n", "", depth * 2 + 4, u.path());
  if (c.childrenCateogry) {
    for (const CategoryPtr& sub : *c.childrenCateogry) printCategory(*sub, depth + 1);
  }
}

int runCatalogue(const CommonOptions& options) {
  std::vector<ModulePtr> modules = loadCatalogue(options);
  if (modules.empty()) return 1;
  if (options.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const ModulePtr& m : modules) list.push_back(moduleToJson(*m));
    printJson(nlohmann::json{{"modules", std::move(list)}});
    return 0;
  }
  for (const ModulePtr& m : modules) {
    fmt::print("[{}] {} (type {}, version {})\n", m->finderID, m->title, m->type, m->version);
    for (const FeaturePtr& f : m->featureInfo) {
      fmt::print("  [{}] {}\n", f->finderID, f->title);
      for (const CategoryPtr& c : f->categoryInfo) printCategory(*c, 2);
    }
  }
  return 0;
}

const CommandRegistrar kCatalogue(
    {"catalogue", "Print the modules, features and categories of the catalogue", {}, runCatalogue});

}  // namespace
}  // namespace orvexa::cli
