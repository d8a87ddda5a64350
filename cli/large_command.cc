// orvexa large [--clean --select GLOB [--yes]]: the large and old files of
// the home, in twelve views (by type, by age, by size); --clean deletes the
// selected ones.
#include <fmt/core.h>

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>

#include "command_registry.h"
#include "orvexa/scan/large_old/large_and_old_file_service.h"
#include "output.h"
#include "scan_session.h"

namespace orvexa::cli {
namespace {

constexpr const char* kModuleType = kLargeAndOldFilesModuleType;

int topPerView = 10;

struct ViewGroup {
  const char* title;
  LargeAndFileKind first;
  LargeAndFileKind last;
};

constexpr ViewGroup kGroups[] = {
    {"By type", LargeAndFileKind::Archives, LargeAndFileKind::Other},
    {"By age", LargeAndFileKind::OneYear, LargeAndFileKind::LastWeek},
    {"By size", LargeAndFileKind::Huge, LargeAndFileKind::Small},
};

std::string countText(size_t count) {
  return fmt::format("{} file{}", count, count == 1 ? "" : "s");
}

// One view: its title, count and size, then its largest files (all of them
// when `top` is 0).
void printView(const CategoryInformation& view, int top) {
  fmt::print("  {} ({}, {})\n", view.title, countText(view.childrens.size()), humanSize(view.size));
  std::vector<const FileInformation*> files;
  files.reserve(view.childrens.size());
  for (const FilePtr& f : view.childrens) files.push_back(f.get());
  const size_t shown = top <= 0 ? files.size() : std::min(files.size(), static_cast<size_t>(top));
  auto largerFirst = [](const FileInformation* a, const FileInformation* b) {
    if (a->size != b->size) return a->size > b->size;
    return a->url.path() < b->url.path();
  };
  std::partial_sort(files.begin(), files.begin() + static_cast<std::ptrdiff_t>(shown), files.end(),
                    largerFirst);
  for (size_t i = 0; i < shown; ++i) {
    fmt::print("    {:>10}  {}  {}\n", humanSize(files[i]->size),
               isoDate(files[i]->date).substr(0, 10), files[i]->url.path());
  }
  if (shown < files.size()) fmt::print("    ... and {} more\n", files.size() - shown);
}

void printViews(const FeatureInformation& feature, const CategoryPtr& all, int64_t total) {
  fmt::print("{}\n", feature.title);
  if (!all) {
    fmt::print("  (the catalogue gives this feature no views)\n");
  } else {
    fmt::print("{} ({}, {})\n", all->title, countText(all->childrens.size()), humanSize(all->size));
    for (const ViewGroup& group : kGroups) {
      fmt::print("{}\n", group.title);
      for (int k = raw(group.first); k <= raw(group.last); ++k) {
        printView(*(*all->childrenCateogry)[static_cast<size_t>(k)], topPerView);
      }
    }
  }
  fmt::print("Total: {} ({} bytes)\n", humanSize(total), total);
}

// A shallow copy of `category` whose views hold only their `top` largest
// files (all when 0): a home of a hundred thousand files would otherwise be
// listed several times over.
CategoryPtr largestOnly(const CategoryInformation& category, int top) {
  auto copy = std::make_shared<CategoryInformation>(category);
  if (top > 0 && copy->childrens.size() > static_cast<size_t>(top)) {
    std::partial_sort(copy->childrens.begin(), copy->childrens.begin() + top, copy->childrens.end(),
                      [](const FilePtr& a, const FilePtr& b) {
                        if (a->size != b->size) return a->size > b->size;
                        return a->url.path() < b->url.path();
                      });
    copy->childrens.resize(static_cast<size_t>(top));
  }
  if (category.childrenCateogry) {
    std::vector<CategoryPtr> views;
    for (const CategoryPtr& view : *category.childrenCateogry) {
      views.push_back(largestOnly(*view, top));
    }
    copy->childrenCateogry = std::move(views);
  }
  return copy;
}

nlohmann::json viewsToJson(const FeatureInformation& feature, int top) {
  FeatureInformation shown = feature;
  for (CategoryPtr& category : shown.categoryInfo) category = largestOnly(*category, top);
  nlohmann::json document = featureToJson(shown);
  // Each view's full count beside the files it shows.
  for (size_t i = 0; i < feature.categoryInfo.size(); ++i) {
    const CategoryInformation& category = *feature.categoryInfo[i];
    nlohmann::json& shownCategory = document["categoryInfo"][i];
    shownCategory["fileCount"] = category.childrens.size();
    if (!category.childrenCateogry) continue;
    for (size_t k = 0; k < category.childrenCateogry->size(); ++k) {
      shownCategory["childrenCateogry"][k]["fileCount"] =
          (*category.childrenCateogry)[k]->childrens.size();
    }
  }
  return document;
}

int runLarge(const CommonOptions& options) {
  std::vector<ModulePtr> modules = loadCatalogue(options);
  if (modules.empty()) return 1;
  FeaturePtr feature = selectFeature(modules, options, kModuleType);
  if (!feature) return featureMissingStatus(options);
  // Every file of the home is listed: "everything" is never what is meant.
  const CleanTicking ticking{.requireSelect = true};
  if (!cleanSelectionGiven(options, ticking)) return 2;

  int64_t total = 0;
  bool interrupted = false;
  {
    ScanSession session(options, feature);
    LargeAndOldFileService::scanLargeAndOldFile(
        feature, nullptr, session.showPercent(), nullptr,
        [&session, &total](const FeaturePtr&, int64_t t) {
          total = t;
          session.finish();
        },
        session.queue());
    interrupted = session.wait();
  }
  const CategoryPtr all = LargeAndOldFileService::allFilesCategory(feature);
  const bool cleaning = options.clean.enabled && !interrupted;
  int rc = 0;
  if (!options.json || !cleaning) {
    if (options.json) {
      printJson(nlohmann::json{{"feature", viewsToJson(*feature, topPerView)}, {"total", total}});
    } else {
      printViews(*feature, all, total);
    }
  }
  if (options.clean.enabled && interrupted) {
    rc = noCleanAfterInterrupt();
  } else if (cleaning) {
    if (all) {
      rc = cleanFeature(options, feature, CleanServiceType::LargeAndOldFile, {all}, ticking);
    } else {
      printError("the catalogue gives this feature no views: nothing to clean");
      rc = 1;
    }
  }
  // The program ends right after this command: the result (a record per
  // file of the home) is left to the exit instead of being freed piece by
  // piece first.
  static auto* const kLeftToExit = new std::vector<ModulePtr>();
  kLeftToExit->insert(kLeftToExit->end(), modules.begin(), modules.end());
  return rc;
}

const CommandRegistrar kLarge(
    {"large",
     std::string("Large and old files of the home in twelve views: by type, age and size (module "
                 "type \"") +
         kModuleType + "\")",
     {OptionSpec::number(
         "--top", "N",
         "Files listed per view, largest first, in text and JSON (0: all; default 10)", &topPerView,
         0, std::numeric_limits<int>::max())},
     [](const CommonOptions& o) { return runLarge(o); },
     /*acceptsClean=*/true});

}  // namespace
}  // namespace orvexa::cli
