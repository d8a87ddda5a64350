// orvexa duplicates PATH... [--min-size KIB] [--no-cache] [--clean [--keep RULE]
// [--select GLOB] [--yes]]: identical files and folders below the given
// folders; --clean removes all but one copy of each group.
#include <fmt/core.h>

#include <algorithm>
#include <filesystem>
#include <limits>
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
std::string gKeep;
bool gNoCache = false;

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

// The document of --json: the feature, its groups and what removing all but
// one copy of each would free (by `keep`), with the clean's report when
// there is one.
void printResultJson(const FeaturePtr& feature, DuplicateKeep keep, const nlohmann::json* clean) {
  const std::vector<GroupView> groups = groupsOf(feature);
  const CategoryPtr all = DuplicateScanService::viewCategory(feature, std::nullopt);
  nlohmann::json more{{"total", all ? all->size : 0},
                      {"groups", groupsToJson(groups)},
                      {"groupCount", groups.size()},
                      {"freedBytes", planDuplicateRemoval(all, keep).freedBytes}};
  if (clean != nullptr) more["clean"] = *clean;
  printFeatureJson(*feature, more);
}

// Ticks the copies to remove: every member of each group but the one `keep`
// chooses. The plan never removes the last copy of anything, not even
// through a copied folder that holds other groups' members; --select (in
// cleanFeature) can only leave more copies.
DuplicateRemovalPlan tickRemoval(const CategoryPtr& all, DuplicateKeep keep) {
  for (const FilePtr& group : all->childrens) {
    group->state = 0;
    for (const FilePtr& member : group->childrens) member->state = 0;
  }
  DuplicateRemovalPlan plan = planDuplicateRemoval(all, keep);
  tickDuplicateRemoval(all, plan);
  return plan;
}

// After the clean: the copies inside removed folders (the plan leaves them
// unticked, they go with their folder) leave their groups as well, so that
// what is still listed exists.
void dropCopiesInRemovedFolders(const CategoryPtr& all, const DuplicateRemovalPlan& plan) {
  std::vector<std::string> removedFolders;
  for (const FilePtr& member : plan.remove) {
    const bool folder =
        member->fileKind == raw(FilesKind::Folder) || member->fileKind == raw(FilesKind::Package);
    if (folder && member->deleteStatus == raw(DeleteStatus::DeleteSuccess)) {
      removedFolders.push_back(member->url.path() + "/");
    }
  }
  if (removedFolders.empty()) return;
  bool any = false;
  for (const FilePtr& group : all->childrens) {
    for (const FilePtr& member : group->childrens) {
      const std::string path = member->url.path();
      for (const std::string& folder : removedFolders) {
        if (path.compare(0, folder.size(), folder) != 0) continue;
        member->state = 1;
        member->deleteStatus = raw(DeleteStatus::DeleteSuccess);
        any = true;
        break;
      }
    }
  }
  if (any) (void)DuplicateScanService::sortCategory(all);
}

int runDuplicates(const CommonOptions& options) {
  if (!gKeep.empty() && !options.clean.enabled) {
    printError("--keep is only used with --clean");
    return 2;
  }
  const DuplicateKeep keep = keepRule(gKeep).value_or(DuplicateKeep::firstPath);
  bool pathsOk = false;
  std::vector<Url> urls = scanUrls(&pathsOk);
  if (!pathsOk) return 2;

  std::vector<ModulePtr> modules = loadCatalogue(options);
  if (modules.empty()) return 1;
  FeaturePtr feature = selectFeature(modules, options, "Duplicate");
  if (!feature) return featureMissingStatus(options);
  if (gMinSize) DuplicateScanService::limitSize = *gMinSize;
  DuplicateScanService::useDigestCache = !gNoCache;

  ScanSession session(options, feature);
  DuplicateScanService::scanDuplicate(
      feature, urls, nullptr, session.showPercent(), nullptr,
      [&session](const FeaturePtr&, int64_t) { session.finish(); }, session.queue(),
      DispatchQoS::userInitiated);
  const bool interrupted = session.wait();

  const CategoryPtr all = DuplicateScanService::viewCategory(feature, std::nullopt);
  const bool cleaning = options.clean.enabled && !interrupted;
  if (options.json && !cleaning) {
    printResultJson(feature, keep, nullptr);
  } else if (!options.json) {
    const std::vector<GroupView> groups = groupsOf(feature);
    const int64_t freed = planDuplicateRemoval(all, keep).freedBytes;
    printGroups(groups);
    fmt::print("{} group{}; removing all but one copy would free {} ({} bytes)\n", groups.size(),
               groups.size() == 1 ? "" : "s", humanSize(freed), freed);
  }
  if (options.clean.enabled && interrupted) return noCleanAfterInterrupt();
  if (!cleaning) return interrupted ? 130 : 0;
  if (!all) {
    printError("the catalogue gives this feature no category of all duplicates: nothing to clean");
    return 1;
  }
  const DuplicateRemovalPlan plan = tickRemoval(all, keep);
  return cleanFeature(options, feature, CleanServiceType::Duplicate, {all},
                      CleanTicking{.preTicked = true}, [&](const nlohmann::json& clean) {
                        dropCopiesInRemovedFolders(all, plan);
                        printResultJson(feature, keep, &clean);
                      });
}

const CommandRegistrar kDuplicates(
    {"duplicates",
     "Identical files and folders below the given folders (module type \"Duplicate\")",
     {OptionSpec::positional("PATH", "Folders (or files) to compare", &gPaths, true),
      // The bound keeps the size in bytes within a signed 64-bit number.
      OptionSpec::number("--min-size", "KIB",
                         "Compare only files larger than this many KiB (default 512)", &gMinSize, 0,
                         std::numeric_limits<int64_t>::max() / 1024),
      OptionSpec::option("--keep", "RULE",
                         "With --clean, which removes all but one copy of each group: the copy "
                         "to keep (default first-path)",
                         &gKeep, {"oldest", "newest", "first-path"}),
      OptionSpec::flag("--no-cache",
                       "Read every file again instead of using the digests kept from earlier "
                       "scans (in the user's cache folder), and keep none",
                       &gNoCache)},
     runDuplicates,
     /*acceptsClean=*/true});

}  // namespace
}  // namespace orvexa::cli
