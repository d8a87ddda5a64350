// orvexa extensions [--toggle PATH]: the system's Spotlight importers,
// preference panes and internet plug-ins, switched on ("Start") or off
// ("Close"), and switching one of them through the privileged helper.
#include <fmt/core.h>

#include <any>
#include <chrono>
#include <future>
#include <nlohmann/json.hpp>

#include "command_registry.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/paths.h"
#include "orvexa/toolkits/maintenance_service.h"
#include "output.h"

namespace orvexa::cli {
namespace {

// The helper answers every request; this only bounds a helper that hangs.
constexpr auto kAnswerLimit = std::chrono::seconds(120);

std::string toggleOption;

std::string attachmentOf(const FileInformation& item) {
  const std::string* text = std::any_cast<std::string>(&item.attachInformation);
  return text != nullptr ? *text : std::string();
}

int64_t totalOf(const FeatureInformation& feature) {
  int64_t total = 0;
  for (const CategoryPtr& category : feature.categoryInfo) total += category->size;
  return total;
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The listed item at `path` (as listed, or as macOS writes it under --root).
FilePtr findItem(const FeatureInformation& feature, const std::string& path) {
  const std::string asGiven = withoutTrailingSlashes(path);
  const std::string resolved = withoutTrailingSlashes(Paths::shared().resolve(asGiven));
  for (const CategoryPtr& category : feature.categoryInfo) {
    for (const FilePtr& item : category->childrens) {
      if (item->url.path() == asGiven || item->url.path() == resolved) return item;
    }
  }
  return nullptr;
}

void printListing(const FeatureInformation& feature, int64_t total) {
  for (const CategoryPtr& category : feature.categoryInfo) {
    fmt::print("{} ({})\n", category->title, humanSize(category->size));
    if (category->childrens.empty()) fmt::print("  (none)\n");
    for (const FilePtr& item : category->childrens) {
      fmt::print("  {:<5}  {:>9}  {}\n", attachmentOf(*item), humanSize(item->size),
                 item->url.path());
    }
  }
  fmt::print("Total: {}\n", humanSize(total));
}

nlohmann::json listingJson(const FeatureInformation& feature, int64_t total) {
  nlohmann::json document = featureToJson(feature);
  // The records' JSON has no attachment; the switch state is what this
  // listing is about.
  auto& categories = document["categoryInfo"];
  for (size_t c = 0; c < feature.categoryInfo.size() && c < categories.size(); ++c) {
    auto& files = categories[c]["childrens"];
    const auto& items = feature.categoryInfo[c]->childrens;
    for (size_t i = 0; i < items.size() && i < files.size(); ++i) {
      files[i]["attachInformation"] = attachmentOf(*items[i]);
    }
  }
  return nlohmann::json{{"feature", std::move(document)}, {"total", total}};
}

int toggle(const CommonOptions& options, const FeatureInformation& feature) {
  FilePtr item = findItem(feature, toggleOption);
  if (!item) {
    printError("no listed extension at " + toggleOption + " (see \"orvexa extensions\")");
    return 1;
  }
  const std::string from = item->url.path();
  auto answer = std::make_shared<std::promise<std::pair<bool, std::vector<MaintenanceFailure>>>>();
  auto future = answer->get_future();
  MaintenanceService::shard().moveExtensionCategory(
      item, [answer](bool ok, std::vector<MaintenanceFailure> failures) {
        answer->set_value({ok, std::move(failures)});
      });
  if (future.wait_for(kAnswerLimit) != std::future_status::ready) {
    printError("the privileged helper did not answer");
    return 1;
  }
  auto [ok, failures] = future.get();
  const std::string state = attachmentOf(*item);
  if (options.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const MaintenanceFailure& f : failures) {
      list.push_back({{"url", f.url.absoluteString()}, {"code", f.code}, {"text", f.text}});
    }
    printJson({{"from", from},
               {"url", item->url.path()},
               {"attachInformation", state},
               {"ok", ok},
               {"failures", std::move(list)}});
  } else if (ok) {
    fmt::print("Switched {}: {} -> {}\n", state == MaintenanceService::kCloseText ? "off" : "on",
               from, item->url.path());
  }
  if (!ok) {
    bool noHelper = false;
    for (const MaintenanceFailure& f : failures) {
      printError("could not switch " + from + ": " + f.text + " (code " + std::to_string(f.code) +
                 ")");
      noHelper = noHelper || f.text == MaintenanceService::kPrivilegeInstallFailText;
    }
    // The service's text does not say why; the helper's does.
    std::optional<std::string> why =
        noHelper ? PrivilegeHelper::shard()
                       .getHelperTool(PrivilegeHelper::helperName(), kSMDomainSystemLaunchd)
                       .second
                 : std::nullopt;
    if (why) printError(*why);
    return 1;
  }
  return 0;
}

int runExtensions(const CommonOptions& options) {
  std::vector<ModulePtr> modules = loadCatalogue(options);
  if (modules.empty()) return 1;
  FeaturePtr feature = selectFeature(modules, options, "Maintenance");
  if (!feature) return featureMissingStatus(options);
  MaintenanceService::scan(feature, {}, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (!toggleOption.empty()) return toggle(options, *feature);
  const int64_t total = totalOf(*feature);
  if (options.json) {
    printJson(listingJson(*feature, total));
  } else {
    printListing(*feature, total);
  }
  return 0;
}

const CommandRegistrar kExtensions(
    {"extensions",
     "Spotlight importers, preference panes and internet plug-ins, on (Start) or off (Close) "
     "(module type \"Maintenance\")",
     {OptionSpec::option("--toggle", "PATH",
                         "Switch the listed extension at PATH off or on (through the privileged "
                         "helper)",
                         &toggleOption)},
     [](const CommonOptions& o) { return runExtensions(o); }});

}  // namespace
}  // namespace orvexa::cli
