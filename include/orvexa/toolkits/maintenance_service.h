// MaintenanceService: the system-wide extensions that load into other
// programs (Spotlight importers, preference panes, internet plug-ins), their
// switching off and on, and their removal; and the listing of launch daemons
// and privileged helper tools by the application they belong to.
//
// An extension is switched off by moving it from its folder into the
// folder's " Disabled" twin (Paths::disabledTwin) and on by moving it back.
// The folders are in the system domain (paths table: spotlightImportersFolder,
// preferencePanesFolder, internetPlugInsFolder), so every move and removal is
// done by the privileged helper (PrivilegeHelper, Maintenance event with the
// Move or Clean operation). Without the helper every item fails with
// "Privilege Install Fail!" and result code DeleteError; the helper's own
// failures are reported per path with its code and text, and those items
// stay where they were.
//
// Items are FileInformation records made by the scan engine's record
// factory; their attachInformation is a std::string, "Close" for an item in
// a " Disabled" folder and "Start" otherwise.
//
// Name clashes: when the destination of a switch already exists, the item
// goes under a numbered name made from its last path component, counting
// from 1: "<stem> <n>.<extension>" ("Foo.mdimporter" -> "Foo 1.mdimporter",
// "Foo 2.mdimporter", ...), or "<name> <n>" for a name without an extension.
// The extension is kept so that the item is still listed.
//
// Launch daemons and helper tools (scanHelperTool): a daemon is named by its
// property list's file name without ".plist", a tool by its file name. A
// name belongs to the application whose bundle identifier B (compared
// without regard to case)
//   1. equals the name, or is a prefix of it followed by ".", "-", "_" or
//      "Helper" ("com.example.foo.helper", "com.example.fooHelper" belong to
//      "com.example.foo"; "com.example.foobar", "com.example.FooSync" do not);
//   2. failing that, shares the name's first two dot-separated components
//      (the vendor's domain) while one of the name's components equals the
//      application's folder name without ".app" and without blanks
//      ("com.example.FooSync.daemon" and "Foo Sync.app" of "com.example.sync").
// Of several matching applications the longest identifier wins under rule
// 1, the first listed under rule 2. Names that match no application are
// left out.
//
// Ownership: the shared instance lives for the process and holds no state
// of its own; records and categories are the caller's and are changed in
// place.
//
// Thread-safety: every operation may be called from any thread. The scan,
// getFileUseEnumerator, the three listings and scanHelperTool run on the
// caller's thread and call back there. The move and clean operations obtain
// the helper on the caller's thread; `finish` runs on the caller's thread
// when no helper can be had (or there is nothing to do), otherwise on a
// thread of the connection's choosing, after the records and categories
// have been updated there: the caller must leave them alone until then.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvexa/model/records.h"
#include "orvexa/platform/bundle.h"
#include "orvexa/platform/url.h"
#include "orvexa/units/serial_queue.h"

namespace orvexa {

// Keys of the description table passed to the scan.
enum class MaintenanceSting : int { SpotlightPlugins, SafariExtensions, InternetExtensions };

// One item that could not be moved or removed.
struct MaintenanceFailure {
  Url url;
  int code = 0;  // a HelperEventErrorID raw value
  std::string text;
  friend bool operator==(const MaintenanceFailure&, const MaintenanceFailure&) = default;
};

class MaintenanceService {
 public:
  using Progress = std::function<void(const std::string&, int64_t)>;
  using ShowPercent = std::function<void(float)>;
  using SingleDone = std::function<void(int, int64_t)>;
  using Done = std::function<void(const FeaturePtr&, int64_t)>;
  // (true when nothing failed, the failures).
  using Finish = std::function<void(bool, std::vector<MaintenanceFailure>)>;
  // Bundle identifier -> the daemons' property lists and tools of that
  // application, in the order they were listed.
  using HelperToolFinish = std::function<void(std::map<std::string, std::vector<Url>>)>;

  static constexpr std::string_view kStartText = "Start";
  static constexpr std::string_view kCloseText = "Close";
  static constexpr std::string_view kPrivilegeInstallFailText = "Privilege Install Fail!";

  // The shared instance ("shard" is the historical spelling of shared(), as
  // in Paths::shared()).
  static MaintenanceService& shard();

  // Replaces the feature's categories with "Spotlight Plugins", "Safari
  // Extensions" (the preference panes) and "Internet Plugins", in this
  // order, each with state 1, finderID = its position, kind Common and
  // description cateDesc[key] (empty when absent). Per item `progress`
  // (path, size); per category singleDone(position, category size) and
  // showPercent 1/3, 2/3, 1; then done(feature, total size). Logs
  // "MaintenanceService Start" and "MaintenanceService Finish". Runs on the
  // caller's thread; `dispatch` is not used (nothing is shared).
  static void scan(const FeaturePtr& featureInfo,
                   const std::map<MaintenanceSting, std::string>& cateDesc,
                   const Progress& progress, const ShowPercent& showPercent,
                   const SingleDone& singleDone, const Done& done,
                   const std::shared_ptr<SerialGCDService>& dispatch);

  // The direct entries of a folder, in name order, hidden ones left out;
  // empty when the folder cannot be listed.
  std::vector<Url> getFileUseEnumerator(const std::string& path) const;
  // The entries whose names end in "mdimporter", "prefPane", "plugin" of
  // the folder and then of its " Disabled" twin.
  std::vector<Url> scanSpotlightExtension() const;
  std::vector<Url> scanPreferenceExtension() const;
  std::vector<Url> scanInternetPlugExtension() const;

  // Lists the daemons and tools, the applications ("mdfind"
  // "kMDItemContentType=com.apple.application-bundle", one path a line;
  // none without the tool) and calls `finish` once with the association
  // described above.
  void scanHelperTool(const HelperToolFinish& finish) const;

  // Removes the ticked (state 1) items of `cates` through the helper; the
  // removed ones leave their category (whose size shrinks by theirs), the
  // failed ones stay. No ticked item: finish(true, {}) at once.
  void cleanExtensionCategory(const std::vector<CategoryPtr>& cates, Finish finish);
  // Removes the items at `paths` through the helper (one Clean request;
  // a path given twice is sent once). Failures name the item's URL.
  void cleanExtensions(const std::vector<Url>& paths, Finish finish);
  // Switches one item: moves it between its folder and the twin, under a
  // numbered name when the destination is taken (switchDestination).
  void moveExtensionCategory(const FilePtr& file, Finish finish);
  // Moves each item to the destination paired with it (one Move request).
  // A moved item gets the destination as its URL and "Close" or "Start" as
  // its attachInformation (by whether the destination's folder holds
  // " Disabled"); its title follows a numbered name. Failures name the
  // destination; the failed items keep their URL and attachment.
  void moveExtension(std::vector<std::pair<Url, FilePtr>> pathDict, Finish finish);

  // Where switching the item at `item` moves it: the twin folder (or back),
  // the same name, or the first free numbered name.
  static Url switchDestination(const Url& item);
  // The numbered form of a name (see above); counter >= 1.
  static std::string numberedName(std::string_view name, int counter);
  // The association rule above: (name, URL) pairs and the applications.
  static std::map<std::string, std::vector<Url>> associateHelperTools(
      const std::vector<std::pair<std::string, Url>>& tools,
      const std::vector<ApplicationBundle>& applications);

  MaintenanceService(const MaintenanceService&) = delete;
  MaintenanceService& operator=(const MaintenanceService&) = delete;

 private:
  MaintenanceService() = default;
};

}  // namespace orvexa
