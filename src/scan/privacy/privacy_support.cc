#include "scan/privacy/privacy_support.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <thread>

#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/image.h"
#include "orvexa/platform/paths.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/log_service.h"
#include "platform/unique_fd.h"

namespace orvexa::privacy {
std::vector<std::string> linuxChromeProfiles() {
  std::vector<std::string> profiles;
  const std::string config = Paths::shared().userConfigFolder();
  const std::string home = Paths::shared().userHome();
  // The native folders, then the Snap and Flatpak homes of the same browsers.
  for (const std::string& folder :
       {config + "/google-chrome", config + "/chromium", config + "/BraveSoftware/Brave-Browser",
        home + "/snap/chromium/common/chromium",
        home + "/.var/app/com.google.Chrome/config/google-chrome",
        home + "/.var/app/org.chromium.Chromium/config/chromium",
        home + "/.var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser"}) {
    std::vector<std::string> names = contentsOfDirectory(folder);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (name != "Default" && name.rfind("Profile ", 0) != 0) continue;
      if (isDirectory(folder + "/" + name)) profiles.push_back(folder + "/" + name);
    }
  }
  return profiles;
}

std::vector<std::string> profilesFromIni(std::string_view ini, const std::string& base) {
  struct Entry {
    std::string path;
    bool relative = true;
  };
  std::vector<Entry> entries;
  bool inProfile = false;
  size_t at = 0;
  while (at < ini.size()) {
    size_t end = ini.find('\n', at);
    if (end == std::string_view::npos) end = ini.size();
    std::string_view line = ini.substr(at, end - at);
    at = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.starts_with("[")) {
      inProfile = line.starts_with("[Profile");
      if (inProfile) entries.emplace_back();
      continue;
    }
    if (!inProfile) continue;
    if (line.starts_with("Path=")) entries.back().path = std::string(line.substr(5));
    if (line == "IsRelative=0") entries.back().relative = false;
  }
  std::vector<std::string> profiles;
  for (const Entry& entry : entries) {
    if (entry.path.empty()) continue;
    // A relative path never climbs out of the Firefox folder.
    if (entry.relative && (entry.path.front() == '/' || entry.path.find("..") != std::string::npos))
      continue;
    if (!entry.relative && entry.path.front() != '/') continue;
    std::string path =
        entry.relative ? base + "/" + entry.path : Paths::shared().resolve(entry.path);
    if (std::find(profiles.begin(), profiles.end(), path) == profiles.end())
      profiles.push_back(std::move(path));
  }
  return profiles;
}

std::vector<std::string> linuxFirefoxProfiles() {
  const std::string home = Paths::shared().userHome();
  std::vector<std::string> profiles;
  for (const char* place : {"/.mozilla/firefox", "/snap/firefox/common/.mozilla/firefox",
                            "/.var/app/org.mozilla.firefox/.mozilla/firefox"}) {
    const std::string base = home + place;
    std::optional<std::string> ini = readStoreFile(base + "/profiles.ini");
    if (!ini) continue;
    for (std::string& profile : profilesFromIni(*ini, base)) {
      if (isDirectory(profile)) profiles.push_back(std::move(profile));
    }
  }
  return profiles;
}

void scanLabelledProfiles(const CategoryPtr& category, const std::vector<std::string>& folders,
                          const std::function<void(const std::string&)>& scanOne) {
  for (const std::string& folder : folders) {
    const size_t first = category->childrens.size();
    scanOne(folder);
    const std::string label = " (" + profileLabel(folder) + ")";
    for (size_t i = first; i < category->childrens.size(); ++i) {
      category->childrens[i]->title += label;
    }
  }
}

std::string profileLabel(const std::string& folder) {
  const std::string home = Paths::shared().userHome() + "/";
  std::string label = folder.rfind(home, 0) == 0 ? folder.substr(home.size()) : folder;
  if (label.starts_with(".")) label.erase(0, 1);
  return label;
}

std::string recentlyUsedStore() { return Paths::shared().userDataFolder() + "/recently-used.xbel"; }

FilePtr makeGroup(const CategoryPtr& category, int finderID, Status status, const Url& store,
                  const std::string& iconName) {
  FilePtr group =
      makeGroup(category, finderID, PrivacyScanService::titleOf(status), store, iconName);
  group->attachInformation = status;
  return group;
}

FilePtr makeGroup(const CategoryPtr& category, int finderID, std::string title, const Url& store,
                  const std::string& iconName) {
  return std::make_shared<FileInformation>(
      0, finderID, category->finderID(), std::move(title), Image::named(iconName), 0,
      std::chrono::system_clock::now(), store, "", true, false, std::any{}, std::vector<FilePtr>{},
      category, raw(FilesKind::Privacy), 0, nullptr);
}

FilePtr makeItem(const FilePtr& group, const CategoryPtr& category, int finderID, std::string title,
                 Timestamp date, Url url, std::any attachment, int levelInt) {
  return std::make_shared<FileInformation>(0, finderID, group->finderID(), std::move(title),
                                           Image{}, 0, date, std::move(url), "", true, false,
                                           std::move(attachment), std::vector<FilePtr>{}, category,
                                           raw(FilesKind::Privacy), levelInt, group);
}

void attach(const FilePtr& group, std::vector<FilePtr> items) {
  for (size_t i = 0; i < items.size(); ++i) {
    items[i]->setFinderID(static_cast<int>(i));
    items[i]->parentFinderID = group->finderID();
  }
  group->childrens = std::move(items);
}

FilePtr databaseGroup(const CategoryPtr& category, int finderID, Status status, Store& store,
                      const std::string& query, const std::string& iconName,
                      const RowItemMaker& makeItem) {
  FilePtr group = makeGroup(category, finderID, status, Url::fromPath(store.path()), iconName);
  std::vector<FilePtr> items;
  store.forEachRow(query, [&](const SqlRow& row) {
    items.push_back(makeItem(row, group, static_cast<int>(items.size())));
  });
  attach(group, std::move(items));
  if (!store.note().empty()) group->scanErrorDesc = store.note();
  return group;
}

std::pair<FilePtr, FilePtr> downloadGroups(const CategoryPtr& category, int finderID, Store& store,
                                           const std::string& query, const DownloadReader& read) {
  const Url url = Url::fromPath(store.path());
  FilePtr downloads = makeGroup(category, finderID, Status::Download, url, "DownloadHistory");
  FilePtr files =
      makeGroup(category, finderID + 1, Status::DownloadFile, url, "DownloadFileHistory");
  std::vector<FilePtr> downloadItems;
  std::vector<FilePtr> fileItems;
  if (auto rows = store.rows(query)) {
    for (const SqlRow& row : *rows) {
      std::optional<DownloadRow> download = read(row);
      if (!download) continue;
      downloadItems.push_back(makeItem(downloads, category, static_cast<int>(downloadItems.size()),
                                       download->title, download->date, download->url, download->id,
                                       1));
      const std::string path = localPath(download->url);
      if (!path.empty() && fileExists(path)) {
        fileItems.push_back(makeItem(files, category, static_cast<int>(fileItems.size()),
                                     download->title, download->date, download->url, download->id,
                                     1));
      }
    }
  }
  attach(downloads, std::move(downloadItems));
  attach(files, std::move(fileItems));
  if (!store.note().empty()) downloads->scanErrorDesc = files->scanErrorDesc = store.note();
  return {downloads, files};
}

}  // namespace orvexa::privacy
