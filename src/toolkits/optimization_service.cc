#include "orvexa/toolkits/optimization_service.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>

#include "orvexa/helper/helper_protocol.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/ascii_case.h"
#include "orvexa/platform/bundle.h"
#include "orvexa/platform/detached_process.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "orvexa/scan/privacy/privacy_stores.h"
#include "orvexa/toolkits/free_up_ram_service.h"
#include "orvexa/toolkits/login_items_and_lauch_agents_service.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/main_queue.h"
#include "orvexa/units/queue_or_here.h"
#include "orvexa/units/size_text.h"
#include "orvexa/units/terminal_tool.h"
#include "platform/unique_dir.h"
#include "toolkits/startup_entries.h"

namespace orvexa {
namespace {

constexpr int64_t kDefaultPurgeableReserve = int64_t{2} << 30;

std::atomic<int64_t>& reserveSetting() {
  static std::atomic<int64_t> reserve{kDefaultPurgeableReserve};
  return reserve;
}

std::string attachmentText(const std::any& attachment) {
  if (const auto* text = std::any_cast<std::string>(&attachment)) return *text;
  if (const auto* text = std::any_cast<const char*>(&attachment)) return *text;
  return {};
}

// ---- The workspace ---------------------------------------------------------

// The processes of the calling user running `executable`.
std::vector<pid_t> runningInstances(const std::string& executable) {
  std::vector<pid_t> pids;
  std::error_code error;
  const std::filesystem::path wanted = std::filesystem::weakly_canonical(executable, error);
  if (error) return pids;
  detail::UniqueDir proc = detail::UniqueDir::open("/proc");
  if (!proc) return pids;
  const uid_t me = ::getuid();
  while (const dirent* entry = ::readdir(proc.get())) {
    const std::string name = entry->d_name;
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
          return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
      continue;
    }
    const std::string folder = "/proc/" + name;
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || st.st_uid != me) continue;
    char target[4096];
    const ssize_t n = ::readlink((folder + "/exe").c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    if (std::filesystem::path(std::string(target, static_cast<size_t>(n))) == wanted) {
      pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  return pids;
}

// Asks every running instance of the application to quit.
void terminateApplication(const ApplicationBundle& app) {
  const std::string executable = app.executablePath();
  if (executable.empty()) return;
  for (pid_t pid : runningInstances(executable)) ::kill(pid, SIGTERM);
}

void launchApplication(const ApplicationBundle& app) {
  const std::string executable = app.executablePath();
  if (executable.empty() || ::access(executable.c_str(), X_OK) != 0) return;
  startDetached(executable);
}

// ---- Records ---------------------------------------------------------------

CategoryPtr makeCategory(const FeaturePtr& feature, int finderID, const char* title,
                         CategoryInfomationKind kind, OptimizationSting key,
                         const std::map<OptimizationSting, std::string>& desc) {
  auto it = desc.find(key);
  return std::make_shared<CategoryInformation>(
      1, finderID, title, Image{}, 0, it == desc.end() ? std::string() : it->second, raw(kind),
      std::vector<Url>{}, std::vector<FilePtr>{}, feature, std::any{}, 0, false);
}

FilePtr makeEntry(int finderID, int parentFinderID, std::string title, Image icon, Url url,
                  const std::string& state, const CategoryPtr& category, int levelInt,
                  const FilePtr& parent) {
  return std::make_shared<FileInformation>(
      0, finderID, parentFinderID, std::move(title), std::move(icon), 0,
      std::chrono::system_clock::now(), std::move(url), "", false, true, std::any(state),
      std::vector<FilePtr>{}, category, raw(FilesKind::Maintenance), levelInt, parent);
}

void runHelperTask(OptimizationService::OptimizationID operation,
                   OptimizationService::HelperFinish finish) {
  const std::string label = PrivilegeHelper::helperName();
  PrivilegeHelper::HelperTool tool =
      PrivilegeHelper::shard().getHelperTool(label, kSMDomainSystemLaunchd);
  if (!tool.first) {
    if (finish) finish(false, OptimizationService::kPrivilegeInstallFail);
    return;
  }
  PlistValue request = PlistValue::dictionary();
  request.set(std::string(kHelperOperationValueKey), static_cast<int>(operation));
  tool.first->handleEvent(raw(HelperHanldeEventID::Maintenance), std::move(request),
                          [finish](bool ok, int code, PlistValue information) {
                            if (!finish) return;
                            if (ok) {
                              finish(true, "");
                              return;
                            }
                            // The code alone tells the user nothing: the
                            // helper's own words follow it when it gave any.
                            std::string text = "error code:" + std::to_string(code);
                            const PlistValue* desc = information.find(kHelperDeleteDescKey);
                            if (desc && desc->asString() && !desc->asString()->empty()) {
                              text += " (" + *desc->asString() + ")";
                            }
                            finish(false, text);
                          });
}

int64_t freeSpace(const std::string& folder) {
  struct statvfs fs {};
  if (::statvfs(folder.c_str(), &fs) != 0) return 0;
  return static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
}

}  // namespace

OptimizationService& OptimizationService::shard() {
  static OptimizationService* instance = new OptimizationService;  // used by late work
  return *instance;
}

void OptimizationService::setPurgeableReserve(int64_t bytes) {
  reserveSetting().store(std::max<int64_t>(bytes, 0));
}

int64_t OptimizationService::purgeableReserve() { return reserveSetting().load(); }

std::string OptimizationService::workFolder() {
  std::string bundle = Identity::shared().bundleIdentifier();
  if (bundle.empty()) bundle = kDefaultWorkFolderName;
  return Paths::shared().userApplicationSupport() + "/" + bundle;
}

// ---- The scan ----------------------------------------------------------------

void OptimizationService::scan(const FeaturePtr& featureInfo,
                               std::map<OptimizationSting, std::string> cateDesc,
                               Progress /*progress*/, ShowPercent showPercent,
                               SingleDone /*singleDone*/, Done done,
                               const std::shared_ptr<SerialGCDService>& dispatch) {
  if (!featureInfo) return;
  auto desc = std::make_shared<const std::map<OptimizationSting, std::string>>(std::move(cateDesc));
  runOnPoolOrHere([featureInfo, desc, showPercent, done, dispatch] {
    std::vector<CategoryPtr> tasks = {
        makeCategory(featureInfo, 0, "Free Up RAM", CategoryInfomationKind::FreeUpRAM,
                     OptimizationSting::FreeUpRAM, *desc),
        makeCategory(featureInfo, 1, "Free Up Purgeable Space",
                     CategoryInfomationKind::FreeUpPurgeableSpace,
                     OptimizationSting::FreeUpPurgeable, *desc),
        makeCategory(featureInfo, 2, "Speed Up Mail", CategoryInfomationKind::SpeedUpMail,
                     OptimizationSting::SpeedUpMail, *desc),
        makeCategory(featureInfo, 3, "Clean DNS Cache", CategoryInfomationKind::CleanDNS,
                     OptimizationSting::CleanDNS, *desc),
    };
    if (!hasLinuxCounterpart(OptimizationSting::FreeUpPurgeable)) {
      // Linux has no purgeable space and no mail index of ours to move.
      tasks = {tasks[0], tasks[3]};
    }
    runOnQueueOrHere(dispatch, [featureInfo, tasks, showPercent] {
      featureInfo->categoryInfo.clear();
      if (showPercent) showPercent(0.3f);
      for (const CategoryPtr& category : tasks) featureInfo->categoryInfo.push_back(category);
      if (showPercent) showPercent(0.7f);
    });
    CategoryPtr login =
        makeCategory(featureInfo, 4, "Login Item", CategoryInfomationKind::LoginItem,
                     OptimizationSting::LoginItem, *desc);
    shard().scanLoginItem(
        login,
        [featureInfo, login, done, dispatch] {
          runOnQueueOrHere(dispatch, [featureInfo, login, done] {
            featureInfo->categoryInfo.push_back(login);
            if (done) done(featureInfo, 0);
          });
        },
        featureInfo->finderID);
  });
}

// ---- Memory and disk ---------------------------------------------------------

bool OptimizationService::hasLinuxCounterpart(OptimizationSting task) {
  if (Paths::shared().layout() != Layout::Linux) return true;
  return task != OptimizationSting::FreeUpPurgeable && task != OptimizationSting::SpeedUpMail;
}

void OptimizationService::freeUpRam(FreeUpRamFinish finish) {
  if (Paths::shared().layout() == Layout::Linux) {
    // The kernel gives its caches back itself when asked, through the
    // privileged path; what it gave is measured as on macOS.
    auto before = std::make_shared<float>(FreeUpRamService().getMemory());
    runHelperTask(OptimizationID::FreeMemory,
                  [finish = std::move(finish), before](bool ok, std::string text) {
                    const float freed = *before - FreeUpRamService().getMemory();
                    if (finish) finish(ok, ok ? freed : 0.0f, std::move(text));
                  });
    return;
  }
  const std::string emoji = Paths::shared().resolve("/System/Library/Fonts/Apple Color Emoji.ttc");
  std::string file = emoji;
  if (!fileExists(emoji)) {
    const std::string resources = Identity::shared().resourcesFolder();
    file = resources.empty() ? std::string("libswiftCore.dylib")
                             : std::filesystem::path(resources).parent_path().string() +
                                   "/Frameworks/libswiftCore.dylib";
  }
  runOnPoolOrHere([finish = std::move(finish), file] {
    FreeUpRamService service;
    const float before = service.getMemory();
    ::syslog(LOG_INFO, "%s", "Start1");
    const bool result = service.freeUpRam(file, 0);
    ::syslog(LOG_INFO, "%s", "Start2");
    const float after = service.getMemory();
    MainQueue::async([finish, result, freed = before - after] {
      if (finish) finish(result, freed, std::string());
    });
  });
}

void OptimizationService::cleanPurgeable(PurgeableFinish finish) {
  const std::string folder = workFolder();
  FileStatus created = createDirectory(folder, true);
  if (!created.ok()) {
    if (finish) finish(false, created.message());
    return;
  }
  const std::string largeFile = folder + "/largefile";
  const int64_t free = freeSpace(folder);
  const int64_t room = free - purgeableReserve();
  const int64_t count = room > 0 ? room / kPurgeableBlockSize : 0;
  if (count == 0) {
    const std::string why = "skipped: " + humanSize(std::max<int64_t>(free, 0)) +
                            " free is less than the " + humanSize(purgeableReserve()) +
                            " kept free plus one 512 MiB block, so nothing was written";
    runOnPoolOrHere([finish = std::move(finish), why] {
      if (finish) finish(true, why);
    });
    return;
  }
  // GNU dd reads only the upper-case multiplier; BSD dd reads either.
  std::vector<std::string> arguments = {"if=/dev/zero", "of=" + largeFile, "bs=512M",
                                        "count=" + std::to_string(count)};
  runOnPoolOrHere([finish = std::move(finish), largeFile, arguments = std::move(arguments)] {
    auto queue = std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
    TerminalUtils::realTimeRunTerminal(
        Paths::shared().tool("dd"), arguments, *queue,
        [finish, largeFile, queue](const std::string&) mutable {
          FileStatus removed = removeItem(largeFile);
          if (finish) {
            if (removed.ok()) {
              finish(true, std::nullopt);
            } else {
              finish(false, removed.message());
            }
          }
          queue.reset();  // the queue may go once its last piece has run
        });
  });
}

std::pair<bool, std::string> OptimizationService::speedUpMail() {
  const std::string mail = Paths::shared().userLibrary() + "/Mail";
  std::vector<std::string> found;
  for (const std::string& entry : contentsOfDirectory(mail)) {
    const std::string data = mail + "/" + entry + "/MailData";
    for (const std::string& name : contentsOfDirectory(data)) {
      if (name.rfind("Envelope", 0) == 0) found.push_back(data + "/" + name);
    }
  }
  if (found.empty()) return {false, "Empty"};

  const std::string backup = workFolder() + "/SpeeUp";
  if (FileStatus made = createDirectory(backup, true); !made.ok()) {
    return {false, "Create Directory Fail:" + made.message()};
  }
  FileStatus listed;
  std::vector<std::string> old = contentsOfDirectory(backup, &listed);
  if (!listed.ok()) return {false, "Delete Cache File Fail:" + listed.message()};
  for (const std::string& name : old) {
    if (FileStatus removed = removeItem(backup + "/" + name); !removed.ok()) {
      return {false, "Delete Cache File Fail:" + removed.message()};
    }
  }
  for (const std::string& file : found) {
    const std::string name = std::filesystem::path(file).filename().string();
    if (FileStatus moved = moveItem(file, backup + "/" + name); !moved.ok()) {
      return {false, "Create Directory Fail:" + moved.message()};
    }
  }
  return {true, ""};
}

void OptimizationService::cleanDNS(HelperFinish finish) {
  runHelperTask(OptimizationID::CleanDNS, std::move(finish));
}

void OptimizationService::rebuildSpotlight(HelperFinish finish) {
  runHelperTask(OptimizationID::RebuildSpotlight, std::move(finish));
}

// ---- Login items -------------------------------------------------------------

namespace {

constexpr const char* kAutostartTitle = "Autostart";
constexpr const char* kUserUnitsTitle = "systemd user units";

// The Linux layout's login items: two entries, the autostart entries and the
// systemd user units, each with its items below it (the entries' url is the
// autostart file in force, or the placeholder for a unit).
void scanStartupEntries(const CategoryPtr& cates) {
  const std::pair<const char*, std::vector<startup::Entry>> kinds[] = {
      {kAutostartTitle, startup::autostartEntries()}, {kUserUnitsTitle, startup::userUnits()}};
  for (const auto& [title, entries] : kinds) {
    if (entries.empty()) continue;
    const bool anyOn = std::any_of(entries.begin(), entries.end(),
                                   [](const startup::Entry& e) { return e.enabled; });
    // The group's url is the folder of its user entries.
    const std::string folder = title == kUserUnitsTitle
                                   ? Paths::shared().userConfigFolder() + "/systemd/user"
                                   : Paths::shared().userAutostartFolder();
    FilePtr group = makeEntry(static_cast<int>(cates->childrens.size()), cates->finderID(), title,
                              Image{}, Url::fromPath(folder),
                              anyOn ? kLoginItemStart : kLoginItemClose, cates, 1, nullptr);
    for (const startup::Entry& e : entries) {
      group->childrens.push_back(
          makeEntry(static_cast<int>(group->childrens.size()), group->finderID(), e.id, Image{},
                    e.path.empty() ? Url() : Url::fromPath(e.path),
                    e.enabled ? kLoginItemStart : kLoginItemClose, cates, 2, group));
    }
    cates->childrens.push_back(std::move(group));
  }
}

// Switches one Linux startup item; its state afterwards.
std::string switchStartupEntry(const FilePtr& service, const FilePtr& group, bool switchOff) {
  const bool wasOn = attachmentText(service->attachInformation) == kLoginItemStart;
  if (group && group->title == kUserUnitsTitle) {
    return startup::setUnitEnabled(service->title, !switchOff) ? kLoginItemStart : kLoginItemClose;
  }
  std::string why;
  if (startup::setAutostartEnabled(service->title, !switchOff, &why)) {
    return switchOff ? kLoginItemClose : kLoginItemStart;
  }
  LogService::shard().log(LogService::LogLevel::Info, "Login item not switched: " + why);
  return wasOn ? kLoginItemStart : kLoginItemClose;
}

}  // namespace

void OptimizationService::scanLoginItem(const CategoryPtr& cates,
                                        const std::function<void()>& finishFunc,
                                        int64_t featureIndex) {
  if (Paths::shared().layout() == Layout::Linux) {
    if (cates) scanStartupEntries(cates);
    if (finishFunc) finishFunc();
    return;
  }
  LoginItemsAndLauchAgentsService::AssociationTable table;
  LoginItemsAndLauchAgentsService::getAllAssociationApp(
      [&table](LoginItemsAndLauchAgentsService::AssociationTable found) {
        table = std::move(found);
      },
      featureIndex);
  if (cates) {
    for (const auto& [app, services] : table) {
      std::optional<ApplicationBundle> bundle = readApplicationBundle(app.path());
      std::optional<ResourceValues> values = resourceValues(app.path());
      const bool anyRunning =
          std::any_of(services.begin(), services.end(),
                      [](const auto& service) { return service.second == kLoginItemStart; });
      FilePtr entry = makeEntry(static_cast<int>(cates->childrens.size()), cates->finderID(),
                                bundle ? bundle->localizedName : app.lastPathComponent(),
                                values ? values->effectiveIcon : Image{}, app,
                                anyRunning ? kLoginItemStart : kLoginItemClose, cates, 1, nullptr);
      for (const auto& [label, state] : services) {
        entry->childrens.push_back(makeEntry(static_cast<int>(entry->childrens.size()),
                                             entry->finderID(), label, Image{}, app, state, cates,
                                             2, entry));
      }
      cates->childrens.push_back(std::move(entry));
    }
  }
  if (finishFunc) finishFunc();
}

void OptimizationService::updateLoginItem(const FilePtr& item,
                                          const std::function<void()>& finish) {
  if (!item) {
    if (finish) finish();
    return;
  }
  // An application entry switches all its services; a service entry itself.
  const bool isApplication = !item->childrens.empty();
  std::vector<FilePtr> services = isApplication ? item->childrens : std::vector<FilePtr>{item};
  FilePtr application = isApplication ? item : item->parentFileInfo.lock();
  std::optional<ApplicationBundle> bundle =
      readApplicationBundle((application ? application->url : item->url).path());

  const bool switchOff = attachmentText(item->attachInformation) != kLoginItemClose;
  const std::string newState = switchOff ? kLoginItemClose : kLoginItemStart;
  if (Paths::shared().layout() == Layout::Linux) {
    for (const FilePtr& service : services) {
      service->attachInformation = switchStartupEntry(service, application, switchOff);
    }
    if (application) {
      const bool anyOn = std::any_of(
          application->childrens.begin(), application->childrens.end(),
          [](const FilePtr& s) { return attachmentText(s->attachInformation) == kLoginItemStart; });
      application->attachInformation = std::string(anyOn ? kLoginItemStart : kLoginItemClose);
    }
    if (finish) finish();
    return;
  }
  if (switchOff && bundle) terminateApplication(*bundle);
  const std::string launchctl = Paths::shared().tool("launchctl");
  const std::string domain = "user/" + std::to_string(::getuid()) + "/";
  for (const FilePtr& service : services) {
    TerminalUtils::runTerminal(launchctl,
                               {switchOff ? "disable" : "enable", domain + service->title});
    service->attachInformation = newState;
  }
  item->attachInformation = newState;
  if (!isApplication && application) {
    const bool anyRunning = std::any_of(
        application->childrens.begin(), application->childrens.end(),
        [](const FilePtr& s) { return attachmentText(s->attachInformation) == kLoginItemStart; });
    application->attachInformation = std::string(anyRunning ? kLoginItemStart : kLoginItemClose);
  }
  if (!switchOff && bundle) launchApplication(*bundle);
  if (finish) finish();
}

// ---- Permissions -------------------------------------------------------------

std::map<std::string, std::set<std::string>> OptimizationService::singleApplicationPermission(
    const std::string& bundleID) {
  std::map<std::string, std::set<std::string>> granted;
  const std::string databases[] = {
      privacy::findPath(Paths::shared().userApplicationSupport(), "com.apple.TCC/TCC.db"),
      Paths::shared().resolve("/Library/Application Support/com.apple.TCC/TCC.db"),
  };
  for (const std::string& database : databases) {
    std::optional<std::vector<SqlRow>> rows = privacy::readStore(database, "select * from access;");
    if (!rows) continue;
    for (const SqlRow& row : *rows) {
      const std::string client = privacy::text(row, "client");
      if (client != bundleID) continue;
      const std::string service = privacy::text(row, "service");
      std::optional<AppPermissionsName> name = AppPermissionsName::fromRawValue(service);
      if (!name || name->getCateogory().empty()) continue;
      granted[client].insert(service);
    }
  }
  return granted;
}

bool OptimizationService::cleanSinglePermission(AppPermissionsName permisssionName,
                                                const std::string& bundleID) {
  const std::string output = TerminalUtils::runTerminal(
      Paths::shared().tool("tccutil"), {"reset", permisssionName.getCateogory(), bundleID});
  const std::string text = asciiLower(output);
  return text.find("true") != std::string::npos || text.find("success") != std::string::npos;
}

}  // namespace orvexa
