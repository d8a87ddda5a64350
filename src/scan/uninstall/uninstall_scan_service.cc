// The installed-applications scan: listing, filtering, and filing one
// category per application.
#include "orvexa/scan/uninstall/uninstall_scan_service.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>

#include "orvexa/platform/paths.h"
#include "orvexa/scan/uninstall/linux_applications.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/main_queue.h"
#include "orvexa/units/queue_or_here.h"
#include "orvexa/units/terminal_tool.h"

namespace orvexa {
namespace {

void logInfo(const std::string& text) {
  LogService::shard().log(LogService::LogLevel::Info, "UninstallScanService " + text);
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The path with symbolic links resolved, or the path itself when it cannot
// be resolved.
std::string realPathOf(const std::string& path) {
  std::error_code ec;
  std::filesystem::path real = std::filesystem::canonical(path, ec);
  return ec ? path : real.string();
}

bool atOrInside(const std::string& path, const std::string& folder) {
  return path == folder || startsWith(path, folder + "/");
}

struct BlackListState {
  std::mutex mu;
  std::optional<std::vector<Url>> list;
};

BlackListState& blackListState() {
  static BlackListState* state = new BlackListState;  // never destroyed: read by late work
  return *state;
}

// One scan's callbacks and its filing table. The table is touched only by
// pieces of `dispatch`.
struct ScanRun {
  FeaturePtr feature;
  SuperScanService::Progress progress;
  SuperScanService::ShowPercent showPercent;
  UninstallScanService::SingleDone singleDone;
  UninstallScanService::Done done;
  std::shared_ptr<SerialGCDService> dispatch;

  // Listed categories by bundle identifier, in filing order.
  std::map<std::string, std::vector<CategoryPtr>> byIdentifier;
  size_t expected = 0;
  size_t filed = 0;
  std::shared_ptr<PercentService> percent;
};

std::string sortText(const CategoryPtr& c) {
  return c->title + (c->urls.empty() ? std::string() : c->urls.front().path());
}

// Runs on `dispatch` once every application is filed.
void complete(const std::shared_ptr<ScanRun>& run) {
  std::vector<std::vector<CategoryPtr>> groups;
  for (auto& [identifier, categories] : run->byIdentifier) {
    std::stable_sort(
        categories.begin(), categories.end(),
        [](const CategoryPtr& a, const CategoryPtr& b) { return sortText(a) < sortText(b); });
    groups.push_back(categories);
  }
  // Identifiers carry no order the user sees: list by the first copy's title.
  std::stable_sort(groups.begin(), groups.end(),
                   [](const std::vector<CategoryPtr>& a, const std::vector<CategoryPtr>& b) {
                     return sortText(a.front()) < sortText(b.front());
                   });

  const CategoryPtr all =
      run->feature->categoryInfo.empty() ? nullptr : run->feature->categoryInfo.front();
  if (all) all->childrenCateogry = std::vector<CategoryPtr>{};
  int64_t total = 0;
  for (const std::vector<CategoryPtr>& group : groups) {
    const CategoryPtr& first = group.front();
    total += first->size;
    for (size_t k = 1; k < group.size(); ++k) {
      const CategoryPtr& copy = group[k];
      copy->levelInt = 2;
      copy->parentCategory = first;
      if (!first->childrenCateogry) first->childrenCateogry = std::vector<CategoryPtr>{};
      first->childrenCateogry->push_back(copy);
      total += copy->size;
    }
    if (!all) continue;
    first->setFinderID(static_cast<int>(all->childrens.size()));
    first->parentCategory = all;
    all->childrenCateogry->push_back(first);
  }
  if (all) all->size = total;

  // No tick may reach the host's progress callback after `done`.
  if (run->percent) {
    run->percent->stopTime();
    if (SuperScanService::percent() == run->percent) SuperScanService::setPercent(nullptr);
    run->percent.reset();
  }
  logInfo("Start 4");
  logInfo("Finish");
  SuperScanService::setScanStatus(run->feature->finderID, ScanState::end);
  MainQueue::async([run, total] {
    if (run->done) run->done(run->feature, total);
  });
}

// Runs on `dispatch`: one application is complete (null: found, not listed).
void file(const std::shared_ptr<ScanRun>& run, const CategoryPtr& category,
          const std::string& identifier) {
  const int position = static_cast<int>(run->filed++);
  if (category) run->byIdentifier[identifier].push_back(category);
  if (run->singleDone) run->singleDone(position, category ? category->size : 0);
  if (run->percent) run->percent->progressStep();
  if (run->filed == run->expected) complete(run);
}

// One application, on the global pool.
void examine(const std::shared_ptr<ScanRun>& run, const std::string& path,
             const std::shared_ptr<const std::vector<std::string>>& commonPaths,
             const std::shared_ptr<const std::vector<std::string>>& installedNames) {
  if (!SuperScanService::isSuspended(run->feature->finderID)) {
    std::optional<ResourceValues> values = resourceValues(path, ResourceFetch::withType);
    std::string why;
    std::optional<ApplicationBundle> bundle = readApplicationBundle(path, &why);
    if (!why.empty()) LogService::shard().log(LogService::LogLevel::Info, "Bundle skipped: " + why);
    if (values && bundle && UninstallScanService::isListedIdentifier(bundle->bundleIdentifier)) {
      auto category = std::make_shared<CategoryInformation>(
          0, 0,
          values->localizedName.empty() ? SuperScanService::defaultTitle : values->localizedName,
          values->effectiveIcon.empty() ? SuperScanService::defaultImage() : values->effectiveIcon,
          0,
          values->localizedTypeDescription.empty() ? SuperScanService::defaultTitle
                                                   : values->localizedTypeDescription,
          raw(CategoryInfomationKind::App), std::vector<Url>{Url::fromPath(path, true)},
          std::vector<FilePtr>{}, run->feature, std::any{}, 1, false);
      UninstallScanService::scanListFromApps(
          run->feature, category, run->progress,
          [run, identifier = bundle->bundleIdentifier](const CategoryPtr& c) {
            file(run, c, identifier);
          },
          commonPaths.get(), run->dispatch, installedNames.get());
      return;
    }
  }
  runOnQueueOrHere(run->dispatch, [run] { file(run, nullptr, std::string()); });
}

// The candidates as the rules of the header filter them, in path order.
std::vector<std::string> filterCandidates(const std::set<std::string>& found) {
  const Paths& paths = Paths::shared();
  // The start-up volume's entry in the volumes folder stands for the root.
  std::string startupVolume;
  const std::string volumes = paths.volumesFolder();
  for (const std::string& name : contentsOfDirectory(volumes)) {
    std::string path = volumes + "/" + name;
    if (path.find("Macintosh HD") != std::string::npos) {
      startupVolume = std::move(path);
      break;
    }
  }
  std::vector<std::string> blocked;
  for (const Url& url : UninstallScanService::blackList()) {
    if (!url.empty()) blocked.push_back(realPathOf(url.path()));
  }

  std::set<std::string> kept;
  for (std::string path : found) {
    path = withoutTrailingSlashes(std::move(path));
    if (!startupVolume.empty() && startsWith(path, startupVolume + "/")) {
      path = paths.resolve(path.substr(startupVolume.size()));
    }
    if (!UninstallScanService::isCandidatePath(path)) continue;
    const std::string real = realPathOf(path);
    bool isBlocked = std::any_of(blocked.begin(), blocked.end(), [&](const std::string& b) {
      return atOrInside(real, b) || atOrInside(path, b);
    });
    if (!isBlocked) kept.insert(std::move(path));
  }
  return {kept.begin(), kept.end()};
}

// Ends a suspended scan as suspended; false when the scan goes on.
bool finishedIfSuspended(const std::shared_ptr<ScanRun>& run) {
  if (!SuperScanService::isSuspended(run->feature->finderID)) return false;
  logInfo("Suspend Finish-1");
  UninstallScanService::suspendFinish(run->feature);
  return true;
}

// Sets the run up for `count` applications, with progress per application;
// with none, completes it and returns false.
bool startExamining(const std::shared_ptr<ScanRun>& run, size_t count) {
  logInfo("Start 3");
  run->expected = count;
  if (count == 0) {
    runOnQueueOrHere(run->dispatch, [run] { complete(run); });
    return false;
  }
  run->percent = std::make_shared<PercentService>(run->showPercent, static_cast<int64_t>(count));
  SuperScanService::setPercent(run->percent);
  run->percent->startTime();
  return true;
}

// After listing: the suspend check, filtering, and one piece per application.
void processApplications(const std::shared_ptr<ScanRun>& run, const std::set<std::string>& found) {
  if (finishedIfSuspended(run)) return;
  std::vector<std::string> applications = filterCandidates(found);
  if (!startExamining(run, applications.size())) return;

  auto commonPaths =
      std::make_shared<const std::vector<std::string>>(UninstallScanService::getAllCommonPath());
  auto installedNames = std::make_shared<const std::vector<std::string>>(
      UninstallScanService::installedApplicationNames(&applications));
  for (const std::string& path : applications) {
    bool handed = dispatchGlobal(DispatchQoS::default_, [run, path, commonPaths, installedNames] {
      examine(run, path, commonPaths, installedNames);
    });
    if (!handed) examine(run, path, commonPaths, installedNames);
  }
}

// The entries of `folder` that are folders named "*.app".
void listApplications(const std::string& folder, EnumerationOptions options,
                      std::set<std::string>& out) {
  DirectoryEnumerator walk(folder, options,
                           [](const std::string&, const std::string&) { return true; });
  while (std::optional<ResourceValues> item = walk.next()) {
    if (item->isDirectory && endsWith(item->name, ".app")) out.insert(item->path);
  }
}

// The walking variant's listing, then the common continuation.
void walkAndProcess(const std::shared_ptr<ScanRun>& run) {
  const Paths& paths = Paths::shared();
  std::set<std::string> found;
  const auto options =
      EnumerationOptions::skipsHiddenFiles | EnumerationOptions::skipsPackageDescendants;
  listApplications(paths.applicationsFolder(), options, found);
  listApplications(paths.userHome() + "/Applications", options, found);
  logInfo("Start 2");
  processApplications(run, found);
}

// The metadata query's output arrives here, on the runner's queue.
void queryFinished(const std::shared_ptr<ScanRun>& run, const std::string& output) {
  logInfo("Start 2");
  std::set<std::string> found;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) found.insert(line);
  }
  if (found.empty() && SuperScanService::isSuspended(run->feature->finderID)) {
    processApplications(run, found);  // ends the scan as suspended
    return;
  }
  listApplications(Paths::shared().applicationsFolder(),
                   EnumerationOptions::skipsHiddenFiles |
                       EnumerationOptions::skipsPackageDescendants |
                       EnumerationOptions::skipsSubdirectoryDescendants,
                   found);
  processApplications(run, found);
}

std::shared_ptr<ScanRun> makeRun(const FeaturePtr& featureInfo, SuperScanService::Progress progress,
                                 SuperScanService::ShowPercent showPercent,
                                 UninstallScanService::SingleDone singleDone,
                                 UninstallScanService::Done done,
                                 const std::shared_ptr<SerialGCDService>& dispatch) {
  auto run = std::make_shared<ScanRun>();
  run->feature = featureInfo;
  run->progress = std::move(progress);
  run->showPercent = std::move(showPercent);
  run->singleDone = std::move(singleDone);
  run->done = std::move(done);
  run->dispatch = dispatch;
  return run;
}

bool tryStart(const FeaturePtr& featureInfo) {
  if (!ScanStatusTable::tryStart(featureInfo->finderID)) {
    logInfo("Scanning");
    return false;
  }
  logInfo("Start");
  logInfo("Start 1");
  return true;
}

// Under the Linux layout: the desktop applications, examined one after
// another on the pool and filed on `dispatch` as the bundles are.
void listDesktopApplications(const std::shared_ptr<ScanRun>& run) {
  std::vector<DesktopApplication> apps = desktopApplications();
  fillPackages(apps);
  logInfo("Start 2");
  if (finishedIfSuspended(run) || !startExamining(run, apps.size())) return;
  for (DesktopApplication& app : apps) {
    CategoryPtr category;
    if (!SuperScanService::isSuspended(run->feature->finderID))
      category = linuxAppCategory(run->feature, app, run->progress);
    runOnQueueOrHere(run->dispatch,
                     [run, category, id = app.desktopId] { file(run, category, id); });
  }
}

void startWalk(const std::shared_ptr<ScanRun>& run) {
  if (Paths::shared().layout() == Layout::Linux) {
    runOnPoolOrHere([run] { listDesktopApplications(run); });
    return;
  }
  runOnPoolOrHere([run] { walkAndProcess(run); });
}

}  // namespace

const std::set<std::string>& UninstallScanService::appleApp() {
  static const std::set<std::string> identifiers = {
      "com.apple.siri.launcher",
      "com.apple.Music",
      "com.apple.findmy",
      "com.apple.QuickTimePlayerX",
      "com.apple.Chess",
      "com.apple.PhotoBooth",
      "com.apple.iBooksX",
      "com.apple.Notes",
      "com.apple.Image_Capture",
      "com.apple.Home",
      "com.apple.Preview",
      "com.apple.news",
      "com.apple.TextEdit",
      "com.apple.podcasts",
      "com.apple.TV",
      "com.apple.stocks",
      "com.apple.mail",
      "com.apple.Dictionary",
      "com.apple.AddressBook",
      "com.apple.backup.launcher",
      "com.apple.airport.airportutility",
      "com.apple.VoiceOverUtility",
      "com.apple.Terminal",
      "com.apple.ActivityMonitor",
      "com.apple.screenshot.launcher",
      "com.apple.grapher",
      "com.apple.audio.AudioMIDISetup",
      "com.apple.SystemProfiler",
      "com.apple.keychainaccess",
      "com.apple.MigrateAssistant",
      "com.apple.ScriptEditor2",
      "com.apple.ColorSyncUtility",
      "com.apple.Console",
      "com.apple.DiskUtility",
      "com.apple.BluetoothFileExchange",
      "com.apple.bootcampassistant",
      "com.apple.DigitalColorMeter",
      "com.apple.FontBook",
      "com.apple.FaceTime",
      "com.apple.Maps",
      "com.apple.exposelauncher",
      "com.apple.Stickies",
      "com.apple.Photos",
      "com.apple.MobileSMS",
      "com.apple.calculator",
      "com.apple.VoiceMemos",
      "com.apple.launchpad.launcher",
      "com.apple.reminders",
      "com.apple.AppStore",
      "com.apple.Automator",
      "com.apple.iCal",
      "com.apple.systempreferences",
      "com.apple.Safari",
  };
  return identifiers;
}

std::vector<Url> UninstallScanService::getBlackList() {
  std::vector<Url> list;
  const std::string folder = Paths::shared().systemApplicationsFolder();
  for (const std::string& name : contentsOfDirectory(folder)) {
    list.push_back(Url::fromPath(folder + "/" + name));
  }
  return list;
}

std::vector<Url> UninstallScanService::blackList() {
  {
    BlackListState& state = blackListState();
    std::lock_guard lock(state.mu);
    if (state.list) return *state.list;
  }
  return getBlackList();
}

void UninstallScanService::setBlackList(std::optional<std::vector<Url>> list) {
  BlackListState& state = blackListState();
  std::lock_guard lock(state.mu);
  state.list = std::move(list);
}

bool UninstallScanService::isListedIdentifier(const std::string& identifier) {
  if (identifier.empty()) return false;
  if (startsWith(identifier, "com.apple.")) return appleApp().count(identifier) == 0;
  return !startsWith(identifier, "com.setapp.teaser");
}

bool UninstallScanService::isCandidatePath(const std::string& path) {
  const Paths& paths = Paths::shared();
  const bool placed = startsWith(path, paths.usersFolder()) || startsWith(path, paths.userHome()) ||
                      startsWith(path, paths.applicationsFolder());
  if (!placed || !endsWith(path, ".app")) return false;
  const std::string root = paths.root();
  const std::string_view below = !root.empty() && startsWith(path, root)
                                     ? std::string_view(path).substr(root.size())
                                     : std::string_view(path);
  return below.find("Applications (Parallels)") == std::string_view::npos &&
         below.find("/Parallels/") == std::string_view::npos;
}

void UninstallScanService::suspendFinish(const FeaturePtr& featureInfo) {
  setScanStatus(featureInfo->finderID, ScanState::end);
}

void UninstallScanService::scanUninstallerSoftware(
    const FeaturePtr& featureInfo, Progress progress, ShowPercent showPercent,
    SingleDone singleDone, Done done, const std::shared_ptr<SerialGCDService>& dispatch) {
  scanProUninstallerSoftwareFast(featureInfo, std::move(progress), std::move(showPercent),
                                 std::move(singleDone), std::move(done), dispatch);
}

void UninstallScanService::scanProUninstallerSoftwareFast(
    const FeaturePtr& featureInfo, Progress progress, ShowPercent showPercent,
    SingleDone singleDone, Done done, const std::shared_ptr<SerialGCDService>& dispatch) {
  if (!featureInfo || !dispatch || !tryStart(featureInfo)) return;
  auto run = makeRun(featureInfo, std::move(progress), std::move(showPercent),
                     std::move(singleDone), std::move(done), dispatch);
  const std::string mdfind = Paths::shared().tool("mdfind");
  if (!fileExists(mdfind) || Paths::shared().layout() == Layout::Linux) {
    startWalk(run);
    return;
  }
  auto query = [run, mdfind] {
    // The runner's queue lives as long as its last piece: the finish
    // callback holds it, and the run holding the callback ends with that
    // piece.
    auto queue = std::make_shared<SerialGCDService>(static_cast<SerialGCDService::GCDQOS>(2));
    TerminalUtilsClass runner(run->feature->finderID);
    runner.realTimeRunTerminal(mdfind, {"kMDItemContentType=com.apple.application-bundle"}, *queue,
                               [run, queue](std::string output) { queryFinished(run, output); });
  };
  runOnPoolOrHere(query);
}

void UninstallScanService::scanProUninstallerSoftwareCommon(
    const FeaturePtr& featureInfo, Progress progress, ShowPercent showPercent,
    SingleDone singleDone, Done done, const std::shared_ptr<SerialGCDService>& dispatch) {
  if (!featureInfo || !dispatch || !tryStart(featureInfo)) return;
  startWalk(makeRun(featureInfo, std::move(progress), std::move(showPercent), std::move(singleDone),
                    std::move(done), dispatch));
}

}  // namespace orvexa
