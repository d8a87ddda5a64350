// The two system categories: recent items (the Finder's recent folders and
// the shared file lists) and the applications' privacy permissions.
#include <cerrno>
#include <chrono>
#include <ctime>
#include <map>
#include <set>

#include "orvexa/platform/bookmark.h"
#include "orvexa/platform/bundle.h"
#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/keyed_archive.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "orvexa/platform/resource_values.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "orvexa/scan/privacy/xbel.h"
#include "orvexa/units/log_service.h"
#include "scan/privacy/privacy_support.h"

namespace orvexa {
namespace {

const char* const kAccessQuery = "select * from access;";

std::string finderPreferences() {
  return privacy::findPath(Paths::shared().userLibrary(), "Preferences/com.apple.finder.plist");
}

// The Finder's recent folders, or nothing when the list is missing. A
// preferences file that is there but cannot be read gives an empty group
// that says why.
FilePtr finderGroup(const CategoryPtr& category, int finderID) {
  const std::string store = finderPreferences();
  std::string why;
  std::optional<PlistValue> preferences = readPlistFile(store, &why);
  const PlistValue* folders = preferences ? preferences->find("FXRecentFolders") : nullptr;
  const PlistValue::Array* array = folders != nullptr ? folders->asArray() : nullptr;
  const bool unreadable = !preferences && checkRegularFile(store).code() != ENOENT;
  if (array == nullptr && !unreadable) return nullptr;
  FilePtr group =
      privacy::makeGroup(category, finderID, "Finder Item", Url::fromPath(store), "FinderItem");
  if (unreadable) {
    LogService::shard().log(LogService::LogLevel::Info, "Privacy store skipped: " + why);
    group->scanErrorDesc = "not read: " + why;
    return group;
  }
  std::vector<FilePtr> items;
  const PlistValue::Array& list = *array;
  for (size_t i = 0; i < list.size(); ++i) {
    if (!list[i].isDictionary()) continue;
    const PlistValue* name = list[i].find("name");
    const std::string* text = name != nullptr ? name->asString() : nullptr;
    items.push_back(privacy::makeItem(
        group, category, static_cast<int>(items.size()), text != nullptr ? *text : std::string(),
        std::chrono::system_clock::now(), Url(), static_cast<int>(i), 1));
  }
  privacy::attach(group, std::move(items));
  return group;
}

// The title of a shared-file-list entry: its "Name", else the last
// component of the path its "Bookmark" records.
std::string sharedListTitle(const PlistValue& entry) {
  if (const PlistValue* name = entry.find("Name"); name != nullptr && name->asString() != nullptr) {
    return *name->asString();
  }
  const PlistValue* bookmark = entry.find("Bookmark");
  const PlistValue::Data* data = bookmark != nullptr ? bookmark->asData() : nullptr;
  if (data == nullptr) return {};
  std::optional<std::string> path = resolvingBookmarkData(
      std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
  return path ? privacy::lastPathComponent(*path) : std::string();
}

// One shared file list, or nothing when it cannot be read or decoded.
FilePtr sharedListGroup(const CategoryPtr& category, int finderID, const ResourceValues& file) {
  std::optional<std::string> bytes = privacy::readStoreFile(file.path);
  std::optional<PlistValue> list = bytes ? unarchiveObjectWithData(*bytes) : std::nullopt;
  if (!list || !list->isDictionary()) return nullptr;
  const Url url = Url::fromPath(file.path, false);
  FilePtr group = privacy::makeGroup(category, finderID, file.name, url, "");
  std::vector<FilePtr> items;
  const PlistValue* entries = list->find("items");
  const PlistValue::Array* array = entries != nullptr ? entries->asArray() : nullptr;
  if (array != nullptr) {
    for (const PlistValue& entry : *array) {
      if (!entry.isDictionary()) continue;
      std::any uuid;
      if (const PlistValue* stored = entry.find("uuid")) {
        if (const std::string* text = stored->asString()) {
          uuid = *text;
        } else {
          uuid = *stored;
        }
      }
      items.push_back(privacy::makeItem(group, category, static_cast<int>(items.size()),
                                        sharedListTitle(entry), std::chrono::system_clock::now(),
                                        url, std::move(uuid), 1));
    }
  }
  privacy::attach(group, std::move(items));
  return group;
}

std::string withoutAppExtension(std::string name) {
  constexpr std::string_view kApp = ".app";
  if (name.size() >= kApp.size() &&
      name.compare(name.size() - kApp.size(), kApp.size(), kApp) == 0) {
    name.resize(name.size() - kApp.size());
  }
  return name;
}

// An XBEL date ("2024-05-01T10:20:30.123456Z", UTC); now when it is not one.
Timestamp xbelDate(const std::string& text) {
  struct tm parts {};
  const char* end = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
  if (end == nullptr) return std::chrono::system_clock::now();
  return std::chrono::system_clock::from_time_t(::timegm(&parts));
}

// The desktop's recent files (the Linux layout): one item per bookmark of
// recently-used.xbel, attached by its href; nothing when the file is
// missing, an empty group that says why when it cannot be read.
FilePtr recentFilesGroup(const CategoryPtr& category, int finderID) {
  const std::string store = privacy::recentlyUsedStore();
  std::string why;
  std::optional<std::string> bytes = privacy::readStoreFile(store, &why);
  if (!bytes && why.empty()) return nullptr;
  FilePtr group = privacy::makeGroup(category, finderID, "Recent Documents", Url::fromPath(store),
                                     "RecentItem");
  std::optional<std::vector<privacy::XbelBookmark>> bookmarks =
      bytes ? privacy::readXbel(*bytes) : std::nullopt;
  if (bytes && !bookmarks) why = store + ": not a recent-files list";
  std::vector<FilePtr> items;
  for (const privacy::XbelBookmark& bookmark :
       bookmarks.value_or(std::vector<privacy::XbelBookmark>{})) {
    Url url = privacy::urlFromText(bookmark.href);
    const std::string path = privacy::localPath(url);
    std::string title = privacy::lastPathComponent(path.empty() ? bookmark.href : path);
    items.push_back(privacy::makeItem(group, category, static_cast<int>(items.size()),
                                      std::move(title), xbelDate(bookmark.modified), std::move(url),
                                      bookmark.href, 1));
  }
  privacy::attach(group, std::move(items));
  if (!why.empty()) group->scanErrorDesc = "not read: " + why;
  return group;
}

}  // namespace

void PrivacyScanService::scanRecentItem(const CategoryPtr& recentItemCategory, Finish finish) {
  const CategoryPtr& category = recentItemCategory;
  if (Paths::shared().layout() == Layout::Linux) {
    if (FilePtr group = recentFilesGroup(category, 0)) category->childrens.push_back(group);
    finish();
    return;
  }
  if (FilePtr finder = finderGroup(category, static_cast<int>(category->childrens.size()))) {
    category->childrens.push_back(std::move(finder));
  }
  DirectoryEnumerator walk(
      privacy::findPath(Paths::shared().userApplicationSupport(), "com.apple.sharedfilelist"),
      EnumerationOptions::skipsSubdirectoryDescendants |
          EnumerationOptions::skipsPackageDescendants | EnumerationOptions::skipsHiddenFiles,
      [](const std::string&, const std::string&) { return true; });
  while (std::optional<ResourceValues> entry = walk.next()) {
    if (entry->isDirectory) continue;
    const size_t dot = entry->name.rfind('.');
    if (dot == std::string::npos || entry->name.compare(dot + 1, std::string::npos, "sfl") != 0) {
      continue;
    }
    if (FilePtr group =
            sharedListGroup(category, static_cast<int>(category->childrens.size()), *entry)) {
      category->childrens.push_back(std::move(group));
    }
  }
  finish();
}

void PrivacyScanService::scanApplicationPermission(
    const CategoryPtr& applicationPermissionsCategory, Finish finish) {
  const CategoryPtr& category = applicationPermissionsCategory;
  // client -> services it holds; both databases, duplicates collapsed.
  std::map<std::string, std::set<std::string>> granted;
  const std::string databases[] = {
      privacy::findPath(Paths::shared().userApplicationSupport(), "com.apple.TCC/TCC.db"),
      Paths::shared().resolve("/Library/Application Support/com.apple.TCC/TCC.db"),
  };
  for (const std::string& database : databases) {
    // An unreadable store was logged; the permissions it holds stay unlisted.
    std::optional<std::vector<SqlRow>> rows = privacy::readStore(database, kAccessQuery);
    if (!rows) continue;
    for (const SqlRow& row : *rows) {
      const std::string service = privacy::text(row, "service");
      std::optional<AppPermissionsName> name = AppPermissionsName::fromRawValue(service);
      if (!name || name->getCateogory().empty()) continue;
      granted[privacy::text(row, "client")].insert(service);
    }
  }

  for (const auto& [client, services] : granted) {
    std::optional<ApplicationBundle> app = applicationForBundleIdentifier(client);
    if (!app) continue;
    std::optional<ResourceValues> values = resourceValues(app->path);
    const std::string name = app->path.substr(app->path.rfind('/') + 1);
    auto group = std::make_shared<FileInformation>(
        0, static_cast<int>(category->childrens.size()), category->finderID(),
        withoutAppExtension(name), values ? values->effectiveIcon : Image{}, 0,
        std::chrono::system_clock::now(), Url::fromPath(app->path, true), "", true, true,
        std::any{}, std::vector<FilePtr>{}, category, raw(FilesKind::Privacy), 1, nullptr);
    std::vector<FilePtr> items;
    for (const std::string& service : services) {
      std::optional<AppPermissionsName> permission = AppPermissionsName::fromRawValue(service);
      if (!permission) continue;
      auto item = std::make_shared<FileInformation>(
          0, static_cast<int>(items.size()), group->finderID(), service, Image{}, 0,
          std::chrono::system_clock::now(), Url(), "", true, false, std::any(*permission),
          std::vector<FilePtr>{}, nullptr, raw(FilesKind::Privacy), 1, group);
      items.push_back(std::move(item));
    }
    group->childrens = std::move(items);
    category->childrens.push_back(std::move(group));
  }
  finish();
}

}  // namespace orvexa
