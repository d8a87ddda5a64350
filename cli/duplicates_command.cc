// orvexa duplicates PATH... [--min-size KIB] [--clean --keep RULE [--yes]]:
// identical files and folders below the given folders.
#include <fmt/core.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "command_registry.h"
#include "orvexa/scan/duplicate/duplicate_scan_service.h"
#include "orvexa/scan/duplicate/duplicate_selection.h"
#include "output.h"
#include "scan_session.h"

namespace orvexa::cli {
namespace {

using Kind = DuplicateScanService::DuplicateKind;

std::vector<std::string> gPaths;
std::optional<int64_t> gMinSize;
bool gClean = false;
std::string gKeep;
bool gYes = false;

// Exit status of a refused --clean: nothing was scanned or removed.
constexpr int kCleanUnavailable = 3;

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::File:
      return "File";
    case Kind::Folder:
      return "Folder";
    case Kind::Document:
      return "Document";
    case Kind::Media:
      return "Media";
    case Kind::Picture:
      return "Picture";
    case Kind::Other:
      return "Other";
    case Kind::Archive:
      return "Archive";
  }
  return "";
}

struct GroupView {
  FilePtr group;
  int64_t memberSize = 0;
  int64_t waste = 0;  // what removing all but one copy frees
  std::vector<std::string> kinds;
};

// The groups of the all-duplicates category, largest waste first, with the
// kinds of the views that hold them.
std::vector<GroupView> groupsOf(const FeaturePtr& feature) {
  std::map<const FileInformation*, std::vector<std::string>> kinds;
  for (Kind kind : {Kind::File, Kind::Folder, Kind::Document, Kind::Media, Kind::Picture,
                    Kind::Other, Kind::Archive}) {
    CategoryPtr view = DuplicateScanService::viewCategory(feature, kind);
    if (!view) continue;
    for (const FilePtr& g : view->childrens) kinds[g.get()].push_back(kindName(kind));
  }
  std::vector<GroupView> groups;
  CategoryPtr all = DuplicateScanService::viewCategory(feature, std::nullopt);
  if (!all) return groups;
  for (const FilePtr& g : all->childrens) {
    if (g->childrens.empty()) continue;
    GroupView view;
    view.group = g;
    view.memberSize = g->childrens.front()->size;
    view.waste = view.memberSize * static_cast<int64_t>(g->childrens.size() - 1);
    view.kinds = kinds[g.get()];
    groups.push_back(std::move(view));
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [](const GroupView& a, const GroupView& b) { return a.waste > b.waste; });
  return groups;
}

nlohmann::json groupsToJson(const std::vector<GroupView>& groups) {
  nlohmann::json list = nlohmann::json::array();
  for (const GroupView& g : groups) {
    nlohmann::json paths = nlohmann::json::array();
    for (const FilePtr& m : g.group->childrens) paths.push_back(m->url.path());
    list.push_back({{"size", g.memberSize},
                    {"copies", g.group->childrens.size()},
                    {"waste", g.waste},
                    {"kinds", g.kinds},
                    {"paths", std::move(paths)}});
  }
  return list;
}

void printGroups(const std::vector<GroupView>& groups) {
  for (const GroupView& g : groups) {
    std::string kinds;
    for (const std::string& k : g.kinds) kinds += (kinds.empty() ? "" : ", ") + k;
    fmt::print("{} x {} ({}), {} to free\n", humanSize(g.memberSize), g.group->childrens.size(),
               kinds, humanSize(g.waste));
    for (const FilePtr& m : g.group->childrens) fmt::print("    {}\n", m->url.path());
  }
}

std::optional<DuplicateKeep> keepRule(const std::string& text) {
  if (text == "oldest") return DuplicateKeep::oldest;
  if (text == "newest") return DuplicateKeep::newest;
  if (text == "first-path") return DuplicateKeep::firstPath;
  return std::nullopt;
}

std::vector<Url> scanUrls(bool* ok) {
  std::vector<Url> urls;
  *ok = true;
  for (const std::string& p : gPaths) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(p, ec).lexically_normal();
    std::string text = absolute.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    if (ec || !std::filesystem::exists(text, ec)) {
      printError("no such file or folder: " + p);
      *ok = false;
      continue;
    }
    urls.push_back(Url::fromPath(text));
  }
  return urls;
}

int runDuplicates(const CommonOptions& options) {
  if (!gKeep.empty() && !gClean) {
    printError("--keep is only used with --clean");
    return 2;
  }
  if (gClean) {
    if (!keepRule(gKeep)) {
      printError("--clean needs --keep oldest, newest or first-path");
      return 2;
    }
    // Removal goes through the clean service (deletability, the privileged
    // helper, per-record outcomes); this build has none yet, so refuse before
    // scanning rather than delete with less care.
    printError(
        "duplicates --clean: removing files needs the clean service, which this build does "
        "not include yet; nothing was scanned or removed");
    return kCleanUnavailable;
  }
  if (gMinSize && *gMinSize < 0) {
    printError("--min-size must be 0 or more");
    return 2;
  }
  bool pathsOk = false;
  std::vector<Url> urls = scanUrls(&pathsOk);
  if (!pathsOk) return 2;

  std::vector<ModulePtr> modules = loadCatalogue(options);
  if (modules.empty()) return 1;
  FeaturePtr feature = selectFeature(modules, options, "Duplicate");
  if (!feature) return 1;
  if (gMinSize) DuplicateScanService::limitSize = *gMinSize;

  ScanSession session(options, feature);
  DuplicateScanService::scanDuplicate(
      feature, urls, nullptr, session.showPercent(), nullptr,
      [&session](const FeaturePtr&, int64_t) { session.finish(); }, session.queue(),
      DispatchQoS::userInitiated);
  const bool interrupted = session.wait();

  std::vector<GroupView> groups = groupsOf(feature);
  CategoryPtr all = DuplicateScanService::viewCategory(feature, std::nullopt);
  const DuplicateRemovalPlan plan = planDuplicateRemoval(all, DuplicateKeep::firstPath);
  const int64_t total = all ? all->size : 0;
  if (options.json) {
    printJson(nlohmann::json{{"feature", featureToJson(*feature)},
                             {"total", total},
                             {"groups", groupsToJson(groups)},
                             {"groupCount", groups.size()},
                             {"freedBytes", plan.freedBytes}});
  } else {
    printGroups(groups);
    fmt::print("{} group{}; removing all but one copy would free {} ({} bytes)\n", groups.size(),
               groups.size() == 1 ? "" : "s", humanSize(plan.freedBytes), plan.freedBytes);
  }
  return interrupted ? 130 : 0;
}

const CommandRegistrar kDuplicates(
    {"duplicates",
     "Identical files and folders below the given folders (module type \"Duplicate\")",
     {OptionSpec::positional("PATH", "Folders (or files) to compare", &gPaths, true),
      OptionSpec::option("--min-size", "KIB",
                         "Compare only files larger than this many KiB (default 512)", &gMinSize),
      OptionSpec::flag("--clean", "Remove all but one copy of each group", &gClean),
      OptionSpec::option("--keep", "RULE", "With --clean: the copy to keep", &gKeep,
                         {"oldest", "newest", "first-path"}),
      OptionSpec::flag("--yes", "With --clean: do not ask before removing", &gYes)},
     runDuplicates});

}  // namespace
}  // namespace orvexa::cli
