// PrivacyScanService: the traces that the browsers (Safari, Chrome,
// Firefox) and the system keep about the user's activity, as the result tree
// of the privacy feature. One category per source; under a browser, one group
// entry per kind of trace (its attachInformation is the group's
// BrowserOperationStatus); under a group, one item per database row or file.
// What the clean (PrivacyCleanService) needs to remove an item is in the
// item's attachInformation:
//   std::string      a row identifier, a date text or a download identifier
//   PrivacyRowKey    the columns of a row identified by several texts
//   int              a position in the Finder's recent-folders list
//   AppPermissionsName  a permission of an application
// An item's url is the address a row holds for the visits and searches (a
// web address kept as written, Url::isFileURL() false, or a file URL), the
// file URL of a download or of a store file, or the placeholder ("file://")
// when the row holds no address. Only file URLs name files here.
// Chrome records a download's location as a plain path, not an address:
// its URL is made from that path as written, without decoding percent
// signs (decoded, "a%20b" would name another file, "a b", which the clean
// would then remove).
//
// The scan only reads. Every store lies below the user's home from the paths
// table; a store name that is absent as written is looked up without regard
// to case in its folder (the system's volumes ignore case by default, and
// the browsers do not write every name in one case). A store that is
// missing, locked, not a database, of a foreign schema or unreadable gives an
// empty group; a missing store is never created. Databases are read as their
// owner left them, a write-ahead log included.
//
// Log lines: "PrivacyScanService Start", "Privacy Info:<Chrome profile>",
// "PrivacyScanService Scan Done:<n>" once per finished category scan.
//
// Threading: scan() returns at once. The five category scans run
// concurrently on the global pool, each on its own category; every
// completion runs on `dispatch`, and the categories reach the feature there,
// all at once, when the fifth scan has finished; `done` is then called on
// `dispatch`. A second scan() of the feature while one runs does nothing.
// PrivacyDescDict may be read and changed from any thread.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/scan/privacy/app_permissions_name.h"

namespace orvexa {

// The attachment of a row identified by several columns (Chrome's saved
// logins and form values): `text` is the columns joined by "," as shown,
// `parts` the columns themselves, which the clean binds as they are (a
// column may itself hold a comma or a quote).
struct PrivacyRowKey {
  std::string text;
  std::vector<std::string> parts;
};

class PrivacyScanService : public SuperScanService {
 public:
  // The five categories, in the order they are added to the feature.
  enum class PrivacyStatusInfo : int {
    Safari,
    Chrome,
    Firefox,
    RecentItem,
    ApplicationsPermissions
  };

  // The kind of a browser group (the group's attachInformation).
  enum class BrowserOperationStatus : int {
    Visit = 0,
    Download = 1,
    DownloadFile = 2,
    LastTab = 3,
    AutoValue = 4,
    LocalStorage = 5,
    Cookies = 6,
    Search = 7,
    LoginHistory = 8,
  };

  using AppPermissionsName = orvexa::AppPermissionsName;

  using Progress = std::function<void(const std::string&, int64_t)>;
  using ShowPercent = std::function<void(float)>;
  using SingleDone = std::function<void(int, int64_t)>;
  using Done = std::function<void(const FeaturePtr&, int64_t)>;
  // A category scan's completion; called exactly once.
  using Finish = std::function<void()>;

  // The description of each category (empty when the table has none).
  static std::map<PrivacyStatusInfo, std::string> PrivacyDescDict();
  static void setPrivacyDescDict(std::map<PrivacyStatusInfo, std::string> table);

  // The entry point: nothing when a scan of the feature is running, else
  // marks it running and calls scanPro. `progress` and `singleDone` are
  // accepted and never called; `done(featureInfo, 0)` comes once.
  static void scan(const FeaturePtr& featureInfo, Progress progress, ShowPercent showPercent,
                   SingleDone singleDone, Done done,
                   const std::shared_ptr<SerialGCDService>& dispatch);
  static void scanPro(const FeaturePtr& featureInfo, Progress progress, ShowPercent showPercent,
                      SingleDone singleDone, Done done,
                      const std::shared_ptr<SerialGCDService>& dispatch);

  // The Chrome profile folder to read: "Default" when an entry of the Chrome
  // folder has "Default" in its name, else the greatest "Profile..." name in
  // text order, else "Defalut" (a name no profile has).
  static std::string getChromeProfile();
  // The Firefox profile folder to read: of the folders in the profiles
  // folder whose name holds ".default", the one with the greatest extension
  // in text order ("default-release" before "default"); nothing when none.
  static std::optional<std::string> getFirefoxProfile();

  // The category scans of scanPro. Each fills the category it is given (its
  // groups and their items) and then calls `finish` once, on a thread of its
  // choosing; the category must not be touched by others until then.
  static void scanSafari(const CategoryPtr& safariCategory, Finish finish);
  static void scanChrome(const CategoryPtr& chromCategory, const std::string& profileName,
                         Finish finish);
  static void scanFirefox(const CategoryPtr& firefoxCategory, Finish finish);
  // The same scans over several profile folders (the Linux layout's
  // browsers): each group's title ends in " (<profile>)", the profile's path
  // below the home, and each group's url names a store inside its profile
  // folder, from which the clean finds the profile again.
  static void scanChromeProfiles(const CategoryPtr& chromCategory,
                                 const std::vector<std::string>& profileFolders, Finish finish);
  static void scanFirefoxProfiles(const CategoryPtr& firefoxCategory,
                                  const std::vector<std::string>& profileFolders, Finish finish);
  static void scanRecentItem(const CategoryPtr& recentItemCategory, Finish finish);
  static void scanApplicationPermission(const CategoryPtr& applicationPermissionsCategory,
                                        Finish finish);

  // Titles of the categories and groups as the scan writes them.
  static std::string titleOf(PrivacyStatusInfo status);
  static std::string titleOf(BrowserOperationStatus status);
};

}  // namespace orvexa
