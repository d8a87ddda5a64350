// orvexa login-items [--toggle LABEL]: the applications' launch agents and
// login items with their state, and switching one on or off.
#include <fmt/core.h>

#include <nlohmann/json.hpp>

#include "command_registry.h"
#include "orvexa/toolkits/optimization_service.h"
#include "output.h"
#include "scan_session.h"

namespace orvexa::cli {
namespace {

std::string toggleLabel;

std::string stateOf(const FileInformation& item) {
  const auto* text = std::any_cast<std::string>(&item.attachInformation);
  return text != nullptr ? *text : std::string();
}

CategoryPtr loginCategory(const FeatureInformation& feature) {
  for (const CategoryPtr& c : feature.categoryInfo) {
    if (c->kind == raw(CategoryInfomationKind::LoginItem)) return c;
  }
  return nullptr;
}

// The service entry with that label, else the application entry with that
// title or bundle path.
FilePtr findItem(const CategoryInformation& category, const std::string& label) {
  for (const FilePtr& app : category.childrens) {
    for (const FilePtr& service : app->childrens) {
      if (service->title == label) return service;
    }
  }
  for (const FilePtr& app : category.childrens) {
    if (app->title == label || app->url.path() == label) return app;
  }
  return nullptr;
}

void printListing(const CategoryInformation& category) {
  size_t services = 0;
  for (const FilePtr& app : category.childrens) {
    fmt::print("{} ({}): {}\n", app->title, app->url.path(), stateOf(*app));
    for (const FilePtr& service : app->childrens) {
      fmt::print("  {}  {}\n", service->title, stateOf(*service));
      ++services;
    }
  }
  fmt::print("Login items: {} application{}, {} service{}\n", category.childrens.size(),
             category.childrens.size() == 1 ? "" : "s", services, services == 1 ? "" : "s");
}

nlohmann::json listingJson(const FeatureInformation& feature) {
  nlohmann::json document = featureToJson(feature);
  for (size_t i = 0; i < feature.categoryInfo.size(); ++i) {
    const CategoryInformation& category = *feature.categoryInfo[i];
    if (category.kind != raw(CategoryInfomationKind::LoginItem)) continue;
    nlohmann::json& apps = document["categoryInfo"][i]["childrens"];
    for (size_t a = 0; a < category.childrens.size(); ++a) {
      const FileInformation& app = *category.childrens[a];
      apps[a]["attachInformation"] = stateOf(app);
      for (size_t s = 0; s < app.childrens.size(); ++s) {
        apps[a]["childrens"][s]["attachInformation"] = stateOf(*app.childrens[s]);
      }
    }
  }
  return document;
}

int runLoginItems(const CommonOptions& options) {
  std::vector<ModulePtr> modules = loadCatalogue(options);
  if (modules.empty()) return 1;
  FeaturePtr feature = selectFeature(modules, options, "Optimization");
  if (!feature) return featureMissingStatus(options);

  ScanSession session(options, feature);
  OptimizationService::scan(
      feature, {}, nullptr, session.showPercent(), nullptr,
      [&session](const FeaturePtr&, int64_t) { session.finish(); }, session.queue());
  session.wait();  // a stop ends the tools the listing runs
  CategoryPtr category = loginCategory(*feature);
  if (!category) {
    printError("the scan gave no login-item category");
    return 1;
  }

  if (toggleLabel.empty()) {
    if (options.json) {
      printJson(nlohmann::json{{"feature", listingJson(*feature)}, {"total", 0}});
    } else {
      printListing(*category);
    }
    return 0;
  }

  FilePtr item = findItem(*category, toggleLabel);
  if (!item) {
    printError("no login item or application named \"" + toggleLabel + "\"");
    return 1;
  }
  const std::string before = stateOf(*item);
  OptimizationService::shard().updateLoginItem(item, nullptr);
  const std::string after = stateOf(*item);
  if (options.json) {
    printJson(nlohmann::json{{"title", item->title}, {"before", before}, {"after", after}});
  } else {
    fmt::print("{}: {} -> {}\n", item->title, before, after);
  }
  return 0;
}

const CommandRegistrar kLoginItems(
    {"login-items",
     "Launch agents and login items of the installed applications, with their state (module "
     "type \"Optimization\")",
     {OptionSpec::option("--toggle", "LABEL",
                         "Switch the service LABEL (or every service of the application with that "
                         "title) off when it runs, else on",
                         &toggleLabel)},
     [](const CommonOptions& o) { return runLoginItems(o); }});

}  // namespace
}  // namespace orvexa::cli
