// orvexa apps | leftovers | unused-apps: the application uninstaller's three
// views. Each runs the installed-applications scan first; the other two
// views are computed from its result. --clean removes the selected
// applications with their files (or leftovers).
#include <fmt/core.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "command_registry.h"
#include "orvexa/platform/paths.h"
#include "orvexa/scan/uninstall/linux_applications.h"
#include "orvexa/scan/uninstall/uninstall_scan_service.h"
#include "orvexa/units/main_queue.h"
#include "output.h"
#include "scan_session.h"

namespace orvexa::cli {
namespace {

constexpr const char* kModuleType = "Uninstaller";

enum class View { installed = 0, unused = 1, leftovers = 2 };

const char* viewTitle(View view) {
  switch (view) {
    case View::installed:
      return "All";
    case View::unused:
      return "Unused";
    case View::leftovers:
      return "Leftovers";
  }
  return "";
}

// The feature's category for a view (the catalogue's layout puts All,
// Unused and Leftovers in that order); a stand-in when a description file
// gives the feature fewer categories.
CategoryPtr viewCategory(const FeaturePtr& feature, View view) {
  const auto index = static_cast<size_t>(view);
  if (index < feature->categoryInfo.size()) return feature->categoryInfo[index];
  return std::make_shared<CategoryInformation>(
      0, static_cast<int>(index), viewTitle(view), Image{}, 0, "", raw(CategoryInfomationKind::App),
      std::vector<Url>{}, std::vector<FilePtr>{}, feature, std::any{}, 0, false);
}

// Runs the scan and waits for it. Ctrl-C stops it; a stop while the
// applications are still being listed ends the scan without `done`, so the
// wait also ends once the stopped feature's state is `end`.
int64_t scanApplications(const CommonOptions& options, const FeaturePtr& feature,
                         bool* interrupted) {
  int64_t total = 0;
  ScanSession session(options, feature);
  UninstallScanService::scanUninstallerSoftware(
      feature, nullptr, session.showPercent(), nullptr,
      [&session, &total](const FeaturePtr&, int64_t t) {
        total = t;
        session.finish();
      },
      session.queue());
  std::atomic<bool> stopped{false};
  std::atomic<bool> quit{false};
  std::thread watcher([&] {
    while (!quit) {
      if (stopped && ScanStatusTable::get(feature->finderID) == static_cast<int>(ScanState::end)) {
        session.finish();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  *interrupted = session.wait([&] {
    SuperScanService::stop(feature);
    stopped = true;
  });
  quit = true;
  watcher.join();
  // A normal end sets the state and hands `done` to the main queue in one
  // piece of the scan's queue: let both run before `total` and `session` go.
  session.queue()->waitUntilIdle();
  MainQueue::sync([] {});
  return total;
}

std::vector<CategoryPtr> installedApplications(const FeaturePtr& feature) {
  std::vector<CategoryPtr> apps;
  const CategoryPtr all = viewCategory(feature, View::installed);
  if (!all->childrenCateogry) return apps;
  for (const CategoryPtr& app : *all->childrenCateogry) {
    apps.push_back(app);
    if (app->childrenCateogry) {
      for (const CategoryPtr& copy : *app->childrenCateogry) apps.push_back(copy);
    }
  }
  return apps;
}

std::vector<CategoryPtr> unusedApplications(const std::vector<CategoryPtr>& apps) {
  struct Wait {
    std::mutex mu;
    std::condition_variable cv;
    bool finished = false;
    std::vector<CategoryPtr> unused;
  };
  auto wait = std::make_shared<Wait>();
  UninstallScanService::getUnusedAppPath(apps, [wait](std::vector<CategoryPtr> unused) {
    std::lock_guard lock(wait->mu);
    wait->unused = std::move(unused);
    wait->finished = true;
    wait->cv.notify_all();
  });
  std::unique_lock lock(wait->mu);
  wait->cv.wait(lock, [&] { return wait->finished; });
  return std::move(wait->unused);
}

void printRecords(const CategoryInformation& category, int depth) {
  std::vector<FilePtr> files = category.childrens;
  std::stable_sort(files.begin(), files.end(),
                   [](const FilePtr& a, const FilePtr& b) { return a->size > b->size; });
  for (const FilePtr& f : files) {
    fmt::print("{:{}}{:>10}  {}\n", "", depth * 2, humanSize(f->size), f->url.path());
  }
}

// The desktop application behind a category of the Linux layout.
const DesktopApplication* desktopApplicationOf(const CategoryInformation& entry) {
  return std::any_cast<DesktopApplication>(&entry.attachInfomation);
}

// What is left to the system when a system-wide application (or the user's
// entry overriding one) is cleaned: "" for the user's own.
std::string programNote(const DesktopApplication& app) {
  if (!app.removeCommand.empty()) {
    return fmt::format("the program {}stays: {}",
                       app.package.empty() ? "" : "(package " + app.package + ") ",
                       app.removeCommand);
  }
  if (app.origin == LinuxAppOrigin::user || app.origin == LinuxAppOrigin::userFlatpak) return "";
  return "the program stays: it belongs to the system, and no package owns its entry";
}

// One application or leftover group: title, size, where it is, its records;
// copies of an application below it (`withCopies`); why a leftover group is
// one (`withReason`).
void printEntry(const CategoryInformation& entry, int depth, bool withCopies,
                bool withReason = false) {
  fmt::print("{:{}}{} ({}, {} item{})", "", depth * 2, entry.title, humanSize(entry.size),
             entry.childrens.size(), entry.childrens.size() == 1 ? "" : "s");
  if (entry.levelInt == 2) fmt::print(" another copy");
  fmt::print("\n");
  if (withReason) fmt::print("{:{}}why: {}\n", "", depth * 2 + 2, entry.description);
  if (const DesktopApplication* app = desktopApplicationOf(entry)) {
    if (const std::string note = programNote(*app); !note.empty())
      fmt::print("{:{}}{}\n", "", depth * 2 + 2, note);
  }
  printRecords(entry, depth + 1);
  if (withCopies && entry.childrenCateogry) {
    for (const CategoryPtr& copy : *entry.childrenCateogry) printEntry(*copy, depth + 1, true);
  }
}

// Under the Linux layout, unused applications are known only from the
// desktop's record of use.
constexpr const char* kNoUsageRecord =
    "the desktop keeps no record of which applications were used "
    "(~/.local/share/gnome-shell/application_state, ~/.local/share/recently-used.xbel): none "
    "can be called unused";

bool unusedUnknown() {
  return Paths::shared().layout() == Layout::Linux && usageRecordFiles().empty();
}

// The view as text, or (with --json) its document, with the clean's report
// when given.
void report(const CommonOptions& options, const FeaturePtr& feature, View view,
            const CategoryPtr& category, int64_t total, const nlohmann::json* clean = nullptr) {
  if (options.json) {
    FeatureInformation shown(feature->finderID, feature->state, feature->icon, feature->title,
                             feature->description, {category}, nullptr, std::any{});
    nlohmann::json document{{"feature", featureToJson(shown)}, {"total", total}};
    if (view == View::leftovers) {
      // Why each group is thought to be a leftover (the group's description).
      const auto& groups = category->childrenCateogry;
      auto& listed = document["feature"]["categoryInfo"][0]["childrenCateogry"];
      for (size_t i = 0; groups && i < groups->size() && i < listed.size(); ++i) {
        listed[i]["reason"] = (*groups)[i]->description;
      }
    }
    // What the clean leaves of a system-wide application, and what removes it.
    const auto& entries = category->childrenCateogry;
    auto& listedEntries = document["feature"]["categoryInfo"][0]["childrenCateogry"];
    for (size_t i = 0; entries && i < entries->size() && i < listedEntries.size(); ++i) {
      const DesktopApplication* app = desktopApplicationOf(*(*entries)[i]);
      if (app == nullptr || programNote(*app).empty()) continue;
      listedEntries[i]["package"] = app->package;
      listedEntries[i]["removeCommand"] = app->removeCommand;
    }
    if (view == View::unused && unusedUnknown()) {
      document["note"] = kNoUsageRecord;
    }
    if (view == View::unused) {
      // The unused view lists every copy itself; do not repeat copies below.
      for (auto& app : document["feature"]["categoryInfo"][0]["childrenCateogry"]) {
        app.erase("childrenCateogry");
      }
    }
    if (clean != nullptr) document["clean"] = *clean;
    printJson(document);
    return;
  }
  fmt::print("{}: {}\n", feature->title, category->title);
  const std::vector<CategoryPtr> entries =
      category->childrenCateogry ? *category->childrenCateogry : std::vector<CategoryPtr>{};
  for (const CategoryPtr& entry : entries) {
    printEntry(*entry, 1, view == View::installed, view == View::leftovers);
  }
  if (entries.empty()) fmt::print("  (none)\n");
  if (view == View::unused && unusedUnknown()) fmt::print("  {}\n", kNoUsageRecord);
  fmt::print("Total: {} ({} bytes)\n", humanSize(total), total);
}

// How the records of a view are ticked for --clean: --select names
// applications (or leftover groups) by title or path, taking all their
// files, or single files by path. Removing every application (or every
// leftover: the list is a guess) is never what is meant, so every view
// takes --select.
// A file two copies of one application share goes only with both.
constexpr CleanTicking kTicking{
    .requireSelect = true, .selectCategories = true, .sharedNeedsAll = true};

int runApps(const CommonOptions& options, View view) {
  if (!cleanSelectionGiven(options, kTicking)) return 2;
  std::vector<ModulePtr> modules = loadCatalogue(options);
  if (modules.empty()) return 1;
  FeaturePtr feature = selectFeature(modules, options, kModuleType);
  if (!feature) return featureMissingStatus(options);

  bool interrupted = false;
  int64_t total = scanApplications(options, feature, &interrupted);
  CategoryPtr shown = viewCategory(feature, view);
  if (view != View::installed) {
    std::vector<CategoryPtr> entries = view == View::leftovers
                                           ? UninstallScanService::getLeftoverAppPath(feature)
                                           : unusedApplications(installedApplications(feature));
    total = 0;
    for (const CategoryPtr& entry : entries) total += entry->size;
    shown->childrenCateogry = std::move(entries);
    shown->size = total;
  }
  const bool cleaning = options.clean.enabled && !interrupted;
  if (!(options.json && cleaning)) report(options, feature, view, shown, total);
  if (options.clean.enabled && interrupted) return noCleanAfterInterrupt();
  if (!cleaning) return 0;

  // What is cleaned: the entries of the view, and below the installed
  // applications their other copies (the unused view lists copies itself).
  std::vector<CategoryPtr> entries =
      view == View::installed
          ? installedApplications(feature)
          : (shown->childrenCateogry ? *shown->childrenCateogry : std::vector<CategoryPtr>{});
  if (entries.empty()) entries.push_back(shown);  // nothing to tick: reported as such
  // The unused view offers some applications; the others still share files.
  const std::vector<CategoryPtr> everyApplication = installedApplications(feature);
  CleanTicking ticking = kTicking;
  ticking.alsoListedBy = &everyApplication;
  // A user Flatpak's installation goes through flatpak itself.
  ticking.beforeClean = +[](const std::vector<FilePtr>& ticked) {
    for (const FilePtr& record : ticked) uninstallUserFlatpak(record);
  };
  // The programs a clean leaves to the system, of the applications it
  // touched (ticked whole or in part), with what removes them.
  auto programsLeft = [&entries] {
    nlohmann::json left = nlohmann::json::array();
    for (const CategoryPtr& entry : entries) {
      const DesktopApplication* app = desktopApplicationOf(*entry);
      if (app == nullptr || entry->state == 0 || programNote(*app).empty()) continue;
      left.push_back({{"title", entry->title},
                      {"package", app->package},
                      {"removeCommand", app->removeCommand},
                      {"note", programNote(*app)}});
    }
    return left;
  };
  const int status =
      cleanFeature(options, feature, CleanServiceType::Uninstall, entries, ticking,
                   [&](const nlohmann::json& clean) {
                     nlohmann::json withPrograms = clean;
                     withPrograms["programsLeft"] = programsLeft();
                     report(options, feature, view, shown, shown->size, &withPrograms);
                   });
  if (!options.json) {
    for (const nlohmann::json& left : programsLeft()) {
      fmt::print("{}: {}\n", left["title"].get<std::string>(), left["note"].get<std::string>());
    }
  }
  return status;
}

std::string help(const char* text) {
  return std::string(text) + " (module type \"" + kModuleType + "\")";
}

const CommandRegistrar kApps({"apps",
                              help("Installed applications with their related files and sizes"),
                              {},
                              [](const CommonOptions& o) { return runApps(o, View::installed); },
                              /*acceptsClean=*/true});
const CommandRegistrar kLeftovers(
    {"leftovers",
     help(
         "Files left by applications no longer installed (on Linux: the data of removed Flatpaks)"),
     {},
     [](const CommonOptions& o) { return runApps(o, View::leftovers); },
     /*acceptsClean=*/true});
const CommandRegistrar kUnusedApps({"unused-apps",
                                    help("Installed applications never opened"),
                                    {},
                                    [](const CommonOptions& o) { return runApps(o, View::unused); },
                                    /*acceptsClean=*/true});

}  // namespace
}  // namespace orvexa::cli
