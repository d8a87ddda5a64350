// OptimizationService: the one-click tasks of the optimisation feature and
// its scan, which builds one category per task and lists the login items.
//
// Tasks and where they work:
// - freeUpRam: FreeUpRamService (free_up_ram_service.h) on the global pool;
//   "Start1"/"Start2" go to the system log (syslog); `finish` runs on the
//   main queue with the squeeze's result and the memory in use before minus
//   after (negative when use grew meanwhile). In the Linux layout of the
//   paths table it is instead the helper's FreeMemory operation (sync, then
//   drop_caches; helper_protocol.h), `finish` running on the reply's thread
//   with the text of a failure as cleanDNS gives it.
// - cleanPurgeable: in <Application Support>/<bundle id or
//   "com.cleanpurgeable">, the paths table's tool("dd") writes zeros to
//   "largefile" (if=/dev/zero of=<folder>/largefile bs=512M count=N) so that
//   the system gives up purgeable space; N is the number of 512 MiB blocks
//   that fit into the free space of that file system beyond
//   purgeableReserve(), so the disk is never filled. When not one block
//   fits, the tool does not run and `finish` gets true with a text that
//   starts "skipped: " and says why (on a pool thread). The file is removed
//   when the tool ends, whatever it did. The tool runs from the global pool
//   on a serial queue of its own; `finish` runs on that queue.
// - speedUpMail: moves the mail index files ("Envelope*" in
//   ~/Library/Mail/<entry>/MailData) into <Application Support>/<bundle id
//   or "com.cleanpurgeable">/SpeeUp, emptied first. On the caller's thread.
// - cleanDNS, rebuildSpotlight: a Maintenance event (operation CleanDNS or
//   RebuildSpotlight) to the privileged helper named
//   PrivilegeHelper::helperName(); `finish` runs on the reply's thread, or
//   at once with (false, "Privilege Install Fail!") when no helper can be
//   had, or (false, "error code:<n>") when it reports failure.
// - Login items (on shard()): scanLoginItem fills the "Login Item" category
//   with one entry per application (title: its name, url: its bundle,
//   attachInformation "Start" when any of its services runs, else "Close")
//   holding one entry per service (title: the label, attachInformation:
//   "Start" or "Close"); both kinds with canDelete false, removeCategory
//   true, fileKind Maintenance. updateLoginItem flips an application entry
//   (all its services) or a single service entry: switching off asks the
//   running instances of the application to quit, then runs tool("launchctl")
//   "disable" "user/<getuid()>/<label>" per service; switching on runs
//   "enable" with the same target per service, then launches the
//   application. Both on the caller's thread.
//
// The workspace on Linux: the running instances of an application are the
// processes of the calling user whose /proc/<pid>/exe is the bundle's
// executable (Contents/MacOS/<CFBundleExecutable>); asking one to quit sends
// it SIGTERM. Launching an application starts its executable in a session
// of its own, detached (not our child), with standard streams on /dev/null.
//
// Permissions: singleApplicationPermission reads the same two permission
// databases as the privacy scan; cleanSinglePermission runs tool("tccutil")
// "reset" <service> <bundle id> and is true when the lower-cased output
// contains "true" or "success".
//
// Thread-safety: every operation may be called from any thread; the
// settings are process-wide and may be changed at any time. Records handed
// to scanLoginItem and updateLoginItem must not be used by others until
// their callbacks have run.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "orvexa/helper/helper_protocol.h"
#include "orvexa/model/records.h"
#include "orvexa/scan/privacy/app_permissions_name.h"
#include "orvexa/toolkits/login_items_and_lauch_agents_service.h"
#include "orvexa/units/serial_queue.h"

namespace orvexa {

// Keys of the description table of the scan.
enum class OptimizationSting : int {
  FreeUpRAM = 0,
  SpeedUpMail = 1,
  CleanDNS = 2,
  LoginItem = 3,
  FreeUpPurgeable = 4
};

class OptimizationService {
 public:
  // Operation numbers of the helper's Maintenance event.
  using OptimizationID = HelperMaintenanceOperation;

  using Progress = std::function<void(const std::string&, int64_t)>;
  using ShowPercent = std::function<void(float)>;
  using SingleDone = std::function<void(int, int64_t)>;
  using Done = std::function<void(const FeaturePtr&, int64_t)>;

  using FreeUpRamFinish = std::function<void(bool, float, std::optional<std::string>)>;
  using PurgeableFinish = std::function<void(bool, std::optional<std::string>)>;
  using HelperFinish = std::function<void(bool, std::string)>;

  static constexpr const char* kDefaultWorkFolderName = "com.cleanpurgeable";
  static constexpr const char* kPrivilegeInstallFail = "Privilege Install Fail!";
  static constexpr int64_t kPurgeableBlockSize = int64_t{512} << 20;

  // The shared instance ("shard" is the historical spelling of shared(), as
  // in Paths::shared()).
  static OptimizationService& shard();

  // Returns at once. Removes the feature's categories, reports 0.3, appends
  // "Free Up RAM", "Free Up Purgeable Space", "Speed Up Mail" and "Clean DNS
  // Cache", reports 0.7, then appends "Login Item" (filled by
  // scanLoginItem) and calls done(featureInfo, 0). The listing runs on the
  // global pool; every change to the feature and every callback runs on
  // `dispatch`. `progress` and `singleDone` are never called.
  static void scan(const FeaturePtr& featureInfo, std::map<OptimizationSting, std::string> cateDesc,
                   Progress progress, ShowPercent showPercent, SingleDone singleDone, Done done,
                   const std::shared_ptr<SerialGCDService>& dispatch);

  // False for the tasks the Linux layout has no counterpart for (purgeable
  // space, the mail index): the scan leaves them out there.
  static bool hasLinuxCounterpart(OptimizationSting task);

  static void freeUpRam(FreeUpRamFinish finish);
  static void cleanPurgeable(PurgeableFinish finish);
  static std::pair<bool, std::string> speedUpMail();
  static void cleanDNS(HelperFinish finish);
  static void rebuildSpotlight(HelperFinish finish);

  // Blocking; `finishFunc` is called once, before returning. The tools it
  // runs end early once the scan of feature `featureIndex` is stopped.
  void scanLoginItem(const CategoryPtr& cates, const std::function<void()>& finishFunc,
                     int64_t featureIndex = LoginItemsAndLauchAgentsService::kNoFeature);
  void updateLoginItem(const FilePtr& item, const std::function<void()>& finish);

  static std::map<std::string, std::set<std::string>> singleApplicationPermission(
      const std::string& bundleID);
  static bool cleanSinglePermission(AppPermissionsName permisssionName,
                                    const std::string& bundleID);

  // The free space cleanPurgeable leaves on its file system (default 2 GiB).
  static void setPurgeableReserve(int64_t bytes);
  static int64_t purgeableReserve();
  // <Application Support>/<bundle id or "com.cleanpurgeable">.
  static std::string workFolder();

 private:
  OptimizationService() = default;
};

}  // namespace orvexa
