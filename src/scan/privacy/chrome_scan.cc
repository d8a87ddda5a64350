// The Chrome category: one profile's history, cookie, login and form-value
// databases and its local storage.
#include <algorithm>
#include <chrono>
#include <memory>

#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "scan/privacy/privacy_support.h"

namespace orvexa {
namespace {

using privacy::databaseGroup;
using privacy::Status;

// With "select *" over the join, "id" is the right-hand urls.id; the visit's
// own id, which the clean deletes by, is read under a name of its own.
const char* const kVisitQuery =
    "select *, visits.id as visit_id from visits inner join urls on visits.url = urls.id";
const char* const kDownloadQuery = "select * from downloads order by start_time desc;";
const char* const kSearchQuery =
    "select * from urls inner join keyword_search_terms on keyword_search_terms.url_id = urls.id;";
const char* const kCookiesQuery = "select * from cookies order by creation_utc desc;";
const char* const kLoginQuery = "select * from logins;";
const char* const kAutofillQuery = "select * from autofill;";

Timestamp chromeDate(const SqlRow& row, const std::string& column) {
  return dateFromSeconds(privacy::chromeSeconds(privacy::number(row, column)), true);
}

PrivacyRowKey rowKey(std::vector<std::string> parts) {
  PrivacyRowKey key;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) key.text += ",";
    key.text += parts[i];
  }
  key.parts = std::move(parts);
  return key;
}

// Adds the groups of the profile at `folder` to `category`, numbered from
// `next` on.
void scanChromeProfile(const CategoryPtr& category, const std::string& folder, int& next) {
  auto store = [&](std::string_view name) { return privacy::findPath(folder, name); };
  privacy::Store history(store("History"), category->title);
  const Timestamp now = std::chrono::system_clock::now();
  auto add = [&](FilePtr group) { category->childrens.push_back(std::move(group)); };
  std::vector<std::unique_ptr<privacy::Store>> others;
  auto storeNamed = [&](std::string_view name) -> privacy::Store& {
    return *others.emplace_back(std::make_unique<privacy::Store>(store(name), category->title));
  };

  add(databaseGroup(category, next++, Status::Visit, history, kVisitQuery, "VisitHistory",
                    [&](const SqlRow& row, const FilePtr& group, int position) {
                      std::string title = privacy::text(row, "title");
                      const std::string address = privacy::text(row, "url");
                      if (title.empty()) title = address;
                      return privacy::makeItem(group, category, position, std::move(title),
                                               chromeDate(row, "visit_time"),
                                               privacy::urlFromText(address),
                                               privacy::text(row, "visit_id"), 1);
                    }));

  // Downloads: every row, and the rows whose file is still there once more.
  auto [downloads, files] =
      privacy::downloadGroups(category, next, history, kDownloadQuery, [](const SqlRow& row) {
        const std::string target = privacy::text(row, "target_path");
        return privacy::DownloadRow{privacy::lastPathComponent(target),
                                    chromeDate(row, "start_time"), privacy::fileUrlOfPath(target),
                                    privacy::text(row, "id")};
      });
  next += 2;
  add(downloads);
  add(files);

  add(databaseGroup(
      category, next++, Status::Search, history, kSearchQuery, "SearchHistory",
      [&](const SqlRow& row, const FilePtr& group, int position) {
        return privacy::makeItem(
            group, category, position, privacy::lastPathComponent(privacy::text(row, "title")), now,
            privacy::urlFromText(privacy::text(row, "url")), privacy::text(row, "id"), 1);
      }));

  // Newer versions keep the cookies in the profile's "Network" folder; the
  // group's url names the store read, which is where the clean deletes.
  const std::string_view cookies =
      fileExists(store("cookies")) || !fileExists(store("Network/Cookies")) ? "cookies"
                                                                            : "Network/Cookies";
  add(databaseGroup(
      category, next++, Status::Cookies, storeNamed(cookies), kCookiesQuery, "Cookies",
      [&](const SqlRow& row, const FilePtr& group, int position) {
        return privacy::makeItem(
            group, category, position, privacy::lastPathComponent(privacy::text(row, "host_key")),
            chromeDate(row, "creation_utc"), Url(), privacy::text(row, "creation_utc"), 1);
      }));

  add(databaseGroup(
      category, next++, Status::LoginHistory, storeNamed("login Data"), kLoginQuery, "LoginHistory",
      [&](const SqlRow& row, const FilePtr& group, int position) {
        PrivacyRowKey key =
            rowKey({privacy::text(row, "origin_url"), privacy::text(row, "signon_realm"),
                    privacy::text(row, "username_value")});
        return privacy::makeItem(group, category, position,
                                 privacy::lastPathComponent(privacy::text(row, "signon_realm")),
                                 chromeDate(row, "date_created"), Url(), std::move(key), 1);
      }));

  add(databaseGroup(
      category, next++, Status::AutoValue, storeNamed("Web Data"), kAutofillQuery, "AutoFill",
      [&](const SqlRow& row, const FilePtr& group, int position) {
        PrivacyRowKey key = rowKey({privacy::text(row, "name"), privacy::text(row, "value")});
        return privacy::makeItem(group, category, position,
                                 privacy::lastPathComponent(privacy::text(row, "name")),
                                 chromeDate(row, "date_created"), Url(), std::move(key), 1);
      }));

  // Local storage: every file below the folder but the journals.
  const std::string storage = store("Local Storage");
  FilePtr storageGroup = privacy::makeGroup(category, next++, Status::LocalStorage,
                                            Url::fromPath(storage), "LocalStorage");
  std::vector<FilePtr> storageItems;
  DirectoryEnumerator walk(storage, EnumerationOptions::none,
                           [](const std::string&, const std::string&) { return true; });
  while (std::optional<ResourceValues> entry = walk.next()) {
    if (entry->isDirectory || entry->name.find("localstorage-journal") != std::string::npos) {
      continue;
    }
    FilePtr item = SuperScanService::getFileInformationFromUrl(
        Url::fromPath(entry->path, false),
        {ResourceKey::localizedName, ResourceKey::fileSize, ResourceKey::creationDate});
    if (!item) continue;
    item->parentFileInfo = storageGroup;
    item->parentCategoryInfo = category;
    item->levelInt = 1;
    storageItems.push_back(std::move(item));
  }
  privacy::attach(storageGroup, std::move(storageItems));
  add(storageGroup);

  history.release();
  for (auto& other : others) other->release();
}

}  // namespace

void PrivacyScanService::scanChrome(const CategoryPtr& chromCategory,
                                    const std::string& profileName, Finish finish) {
  int next = 0;
  scanChromeProfile(chromCategory, privacy::findPath(privacy::chromeFolder(), profileName), next);
  finish();
}

void PrivacyScanService::scanChromeProfiles(const CategoryPtr& chromCategory,
                                            const std::vector<std::string>& profileFolders,
                                            Finish finish) {
  int next = 0;
  privacy::scanLabelledProfiles(chromCategory, profileFolders, [&](const std::string& folder) {
    scanChromeProfile(chromCategory, folder, next);
  });
  finish();
}

}  // namespace orvexa
