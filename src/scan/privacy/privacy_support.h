// How the privacy scan builds its group and item records from the stores
// (privacy_stores.h). Private to the privacy scan.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvexa/model/records.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "orvexa/scan/privacy/privacy_stores.h"
#include "orvexa/units/serial_queue.h"
#include "orvexa/units/sqlite_tool.h"

namespace orvexa::privacy {

// The browser profile folders to read under the Linux layout: every profile
// ("Default", "Profile N") of Chrome, Chromium and Brave below the home's
// configuration folder, and every Firefox profile that a profiles.ini names,
// in the home's own, Snap and Flatpak Firefox folders. Existing folders only,
// in a fixed order.
std::vector<std::string> linuxChromeProfiles();
std::vector<std::string> linuxFirefoxProfiles();
// The profile folders a profiles.ini text names ([Profile*] sections; Path
// is relative to `base` unless IsRelative=0, when it is a system path placed
// under the paths table's root), in file order, without repeats.
std::vector<std::string> profilesFromIni(std::string_view ini, const std::string& base);
// How a profile folder is named in group titles: its path below the home,
// without a leading "." folder ("config/chromium/Default").
std::string profileLabel(const std::string& folder);

// Scans each of `folders` into `category` with `scanOne(folder)` and appends
// its profile's label to the groups that profile added ("Cookies (Work)").
void scanLabelledProfiles(const CategoryPtr& category, const std::vector<std::string>& folders,
                          const std::function<void(const std::string&)>& scanOne);

// ---- Records --------------------------------------------------------------

// A group entry of `status`, numbered `finderID`, read from `store`.
FilePtr makeGroup(const CategoryPtr& category, int finderID, Status status, const Url& store,
                  const std::string& iconName);
// A group entry that is not a browser group (no attachment).
FilePtr makeGroup(const CategoryPtr& category, int finderID, std::string title, const Url& store,
                  const std::string& iconName);
// An item below `group`, numbered `finderID`.
FilePtr makeItem(const FilePtr& group, const CategoryPtr& category, int finderID, std::string title,
                 Timestamp date, Url url, std::any attachment, int levelInt);
// Attaches `items` to `group`, numbering them 0, 1, 2, ... in order.
void attach(const FilePtr& group, std::vector<FilePtr> items);

// Gives the item of one row of a store: `position` is the number of items
// made before it.
using RowItemMaker = std::function<FilePtr(const SqlRow& row, const FilePtr& group, int position)>;
// A group of `status` read from the database `store`: one item per row of
// `query`; empty when the store is missing or of another schema. The
// store's note becomes the group's scanErrorDesc.
FilePtr databaseGroup(const CategoryPtr& category, int finderID, Status status, Store& store,
                      const std::string& query, const std::string& iconName,
                      const RowItemMaker& makeItem);

// One download as a browser's store tells of it.
struct DownloadRow {
  std::string title;
  Timestamp date{};
  Url url;  // the downloaded file's; may be a web address or empty
  std::string id;
};
// Reads one row of the downloads query; nullopt for a row that is no download.
using DownloadReader = std::function<std::optional<DownloadRow>(const SqlRow& row)>;
// A browser's two download groups, read from the database `store`: every
// download, and once more those whose file is still on the disk. Numbered
// `finderID` and `finderID + 1`.
std::pair<FilePtr, FilePtr> downloadGroups(const CategoryPtr& category, int finderID, Store& store,
                                           const std::string& query, const DownloadReader& read);

}  // namespace orvexa::privacy
