// UninstallScanService: the applications the user can remove, each with the
// files it keeps in the standard library folders, so that cleaning an
// application's category removes it completely; and, on request, the
// leftovers of removed applications and the applications never used.
//
// The result tree (the catalogue's "Uninstaller" layout): the feature's first
// category ("All") receives one category per application in its
// childrenCateogry (kind App, levelInt 1). An application's children are its
// bundle (first) and its related files. The same application installed more
// than once (one bundle identifier, several bundles) is one entry: the copies
// that sort after the first (by title, then path) sit in the first one's
// childrenCateogry with levelInt 2. Applications are listed by title, then
// path. An application's category is numbered (finderID) with the count of
// records in All's own childrens, which stays 0 while All holds none; a
// copy keeps 0. The host puts the results of getUnusedAppPath and
// getLeftoverAppPath where it likes (the catalogue gives the categories
// "Unused" and "Leftovers" for them).
//
// Finding the applications:
// - With the metadata query tool (Paths::shared().tool("mdfind") exists):
//   one query for every application bundle, run on behalf of the feature so
//   that stop() interrupts it; plus the entries of the applications folder.
// - Without it (always on Linux): a walk of the applications folder and of
//   <home>/Applications (with their sub-folders, not hidden items, not the
//   insides of bundles) for folders named "*.app".
// Then: a path under the start-up volume's entry in the volumes folder (the
// first entry whose path contains "Macintosh HD", which is the system's own
// root) is taken as the same path below the root; paths at or inside an
// entry of blackList (symbolic links resolved) are dropped; and a path is
// kept only if it begins with the users folder, the user's home or the
// applications folder, ends with ".app", and contains neither
// "Applications (Parallels)" nor "/Parallels/" (compared below the root).
// A bundle without identifier is not listed; identifiers beginning with
// "com.apple." are listed only when not in appleApp; identifiers beginning
// with "com.setapp.teaser" never.
//
// Related files: the visible, existing entries of the regular folders
// (getAllCommonPath) whose name matches one of the names the application is
// known by (knownNames, name_rules.h) whole: equal, or continuing after it
// with ".", "-", "_" or a blank; never by bare prefix (a deliberate
// departure, see name_rules.h). In the shared users folder, and for the
// system's entries of kKeptEntries, only entries named after the bundle
// identifier count. An entry that matches a longer name of another
// installed application whole ("Notes Pro Data", "com.example.notes.pro"
// with Notes Pro installed beside Notes) is that application's alone, not
// also the shorter one's. Applications matching
// specialApp get extra files (getSpecialAppSpecialFile).
//
// Under the Linux layout (Paths::layout()) the applications are the desktop
// entries and the leftovers and unused applications are found as
// linux_applications.h says; the macOS rules above do not apply there.
//
// Log lines (level Info): "UninstallScanService Start", "... Start 1" (about
// to list), "... Start 2" (listing done), "... Start 3" (filing begins),
// "... Start 4", "... Finish"; "... Scanning" for a refused second start;
// "... Suspend Finish-1" when a stop ended the listing (then `done` is not
// called and the feature's state becomes `end`).
//
// Threading: the scan operations return at once. Listing and each
// application run on the global pool; categories are filed on the caller's
// `dispatch` queue; `progress` is called per record from pool threads;
// `showPercent` comes from the progress service (one step per application),
// which is stopped (reporting 1.0) before `done`;
// `singleDone(position, size)` is called on `dispatch` per application
// found (in filing order, also for those not listed, with size 0); `done`
// runs on the main queue, once. The host must not touch the feature's
// categories between the start and `done`. The table setters are meant for
// start-up; everything else may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "orvexa/platform/bundle.h"
#include "orvexa/scan/engine/super_scan_service.h"

namespace orvexa {

class UninstallScanService : public SuperScanService {
 public:
  using SingleDone = std::function<void(int, int64_t)>;
  // The feature and the total size of the applications listed.
  using Done = std::function<void(const FeaturePtr&, int64_t)>;
  // One application's category, complete.
  using AppDone = std::function<void(const CategoryPtr&)>;
  using UnusedFinish = std::function<void(std::vector<CategoryPtr>)>;
  // (deleted bytes, ticked records whose deletion failed, their error texts
  // each followed by ",", the feature's categories after the rebuild).
  using SortResult =
      std::tuple<int64_t, std::vector<FilePtr>, std::string, std::vector<CategoryPtr>>;

  // The system's own applications, never offered for removal.
  static const std::set<std::string>& appleApp();

  // The bundles of the system applications folder, never listed. The host's
  // setting when it made one, else getBlackList() at the time of asking.
  static std::vector<Url> blackList();
  static void setBlackList(std::optional<std::vector<Url>> list);
  static std::vector<Url> getBlackList();

  // Where applications keep their files, from the paths table when asked:
  // the local library's Preferences, PreferencePanes, LaunchAgents,
  // LaunchDaemons, PrivilegedHelperTools, StartupItems; the user library's
  // Preferences, PreferencePanes, LaunchAgents, Saved Application State,
  // Containers, WebKit, Cache, Cookies, Logs; the user's Application Support
  // folder; the shared users folder.
  static std::vector<std::string> regularFolderList();
  static std::vector<std::string> getApplicationRegularFolder();

  // Identifier prefixes of applications with files outside the regular
  // folders: "com.vmware", "com.adobe", "com.parallels.desktop.console",
  // "com.google.Chrome", "com.apple.Safari".
  static const std::vector<std::string>& specialApp();
  static std::vector<std::string> getSpecialApp();

  // The entry point: runs scanProUninstallerSoftwareFast.
  static void scanUninstallerSoftware(const FeaturePtr& featureInfo, Progress progress,
                                      ShowPercent showPercent, SingleDone singleDone, Done done,
                                      const std::shared_ptr<SerialGCDService>& dispatch);
  // Refuses a second start, then lists the applications through the
  // metadata query tool, or by walking when the tool is missing.
  static void scanProUninstallerSoftwareFast(const FeaturePtr& featureInfo, Progress progress,
                                             ShowPercent showPercent, SingleDone singleDone,
                                             Done done,
                                             const std::shared_ptr<SerialGCDService>& dispatch);
  // Refuses a second start, then lists the applications by walking.
  static void scanProUninstallerSoftwareCommon(const FeaturePtr& featureInfo, Progress progress,
                                               ShowPercent showPercent, SingleDone singleDone,
                                               Done done,
                                               const std::shared_ptr<SerialGCDService>& dispatch);

  // Fills `app` (a category whose first URL is an application bundle) on the
  // calling thread: the bundle (sized by getPackageSizeFromTerminal), then
  // every path of machAppInfoList, then the special files; its size is the
  // sum. `progress` gets each record's path and size. Then calls `done` with
  // the category on `dispatch` (on the calling thread when it is null).
  // `paths` are the candidates for machAppInfoList (null: read them now),
  // `installedNames` its names of the installed applications.
  // A bundle that is not an application leaves the category empty.
  static void scanListFromApps(const FeaturePtr& featureInfo, const CategoryPtr& app,
                               const Progress& progress, const AppDone& done,
                               const std::vector<std::string>* paths,
                               const std::shared_ptr<SerialGCDService>& dispatch,
                               const std::vector<std::string>* installedNames = nullptr);

  // The related files of the application at `appPath`: the candidates
  // (`paths`, else getAllCommonPath()) whose last path component matches
  // one of its knownNames whole (letters compared exactly; in the shared
  // users folder and for kKeptEntries its bundle identifier only). Empty
  // when the bundle is not an application.
  // `installedNames` are the knownNames of every installed application
  // (null: read the applications folders now); a candidate matching one of
  // them whole that is longer than every name of this application it
  // matches is left to that other application.
  static std::set<std::string> machAppInfoList(
      const std::string& appPath, const std::vector<std::string>* paths = nullptr,
      const std::vector<std::string>* installedNames = nullptr);

  // The knownNames of the applications at `bundles` (null: every
  // application of the applications folders and their sub-folders).
  static std::vector<std::string> installedApplicationNames(
      const std::vector<std::string>* bundles = nullptr);

  // The entries of every folder of regularFolderList, in folder order and
  // name order. Hidden entries (".DS_Store", ".GlobalPreferences.plist")
  // and symbolic links that lead nowhere are left out; unreadable folders
  // give nothing.
  static std::vector<std::string> getAllCommonPath();

  // Data folders of a special application (`arg` is its bundle identifier)
  // that lie outside the regular folders and belong to it alone, those that
  // exist: its folder in the user's Caches for every special application;
  // for exactly "com.google.Chrome" also Application Support/Google/Chrome
  // and Caches/Google/Chrome; for exactly "com.apple.Safari" also the user
  // library's Safari folder.
  static std::vector<std::string> getSpecialAppFile(const std::string& arg);
  // Every extra file of a special application (`name` is its bundle
  // identifier): for identifiers beginning with "com.vmware" the virtual
  // machines (mdfind "kMDItemFSName == *vmwarevm*"), with "com.parallels"
  // likewise ("kMDItemFSName == *pvm*"); without the query tool, the entries
  // of the usual virtual-machine folders of the home with those names. Then
  // getSpecialAppFile(name).
  static std::vector<std::string> getSpecialAppSpecialFile(const std::string& name);

  // Sets the feature's state to `end` after a suspended scan.
  static void suspendFinish(const FeaturePtr& featureInfo);

  // True when `identifier` may be listed (not empty, not a system
  // application, not a teaser).
  static bool isListedIdentifier(const std::string& identifier);
  // The path rule above (volume and black list aside).
  static bool isCandidatePath(const std::string& path);

  // Leftovers: the candidates of getAllCommonPath grouped by name (".plist"
  // removed), one category per group (title = the name, description = why
  // it is thought to be a leftover, e.g. "named after com.foo.bar, which no
  // installed application has"; urls = its paths, childrens = their
  // records, kind App, levelInt 1), in name order. Runs on the calling
  // thread. It fails safe, departing on purpose from a plain comparison
  // with the installed applications' identifiers and localized names. A
  // name is not a leftover when:
  // - it matches whole, without regard to case, one of the knownNames of an
  //   installed application, or one of those matches it whole ("Adobe"
  //   stays while "Adobe Photoshop" is installed). Installed are the
  //   feature's application categories (copies included), every bundle in
  //   the applications folders (system ones, and those whose Info.plist
  //   cannot be read, which count under their folder name), and the host
  //   (its own bundle identifier);
  // - it shares the vendor of an installed application's identifier
  //   (vendorOf, compared whole without regard to case): with
  //   "com.google.Chrome" installed, "Google" and "com.google.Keystone"
  //   stay;
  // - it is in kKeptEntries (name_rules.h), or lies in the shared users
  //   folder without being a bundle identifier.
  static std::vector<CategoryPtr> getLeftoverAppPath(const FeaturePtr& featureInfo);

  // Calls `finish` once, on a queue of its own, with the categories of
  // `categoryInfos` (same objects, same order) whose application has no
  // recorded last use: the metadata listing tool (Paths tool "mdls") prints
  // no "kMDItemLastUsedDate" for it, or, without that tool, lastUsedDate()
  // (last_used.h) gives nothing. Returns at once.
  static void getUnusedAppPath(const std::vector<CategoryPtr>& categoryInfos, UnusedFinish finish);

  // The rebuild after a clean, over every category of the feature and their
  // childrenCateogry (each category once): ticked records not deleted go
  // to the failure list, deleted ones are taken out; sub-categories left
  // empty are dropped from their lists; sizes are recomputed (a top-level
  // category holds the sum of everything below it). Runs on the caller's
  // thread.
  static SortResult sortCategory(const FeaturePtr& featureInfo);
};

}  // namespace orvexa
