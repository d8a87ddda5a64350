// The Safari category: history database, download list, last session, form
// values, local storage and the cookie file.
#include <algorithm>
#include <chrono>

#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/queue_or_here.h"
#include "scan/privacy/privacy_support.h"

namespace orvexa {
namespace {

using privacy::Status;

const char* const kHistoryQuery =
    "select * from history_items inner join history_visits on history_visits.history_item = "
    "history_items.id order by id,visit_time desc;";

// What the Safari scan's own queue looks after: the groups go to the
// category in order, and the local-storage items, made concurrently, are
// attached once the last of them is in and every group has been handed over.
struct SafariState {
  std::shared_ptr<SerialGCDService> queue;  // released by the last piece
  CategoryPtr category;
  FilePtr storageGroup;
  std::vector<FilePtr> storageItems;
  size_t pendingItems = 0;
  bool groupsHandedOver = false;
  PrivacyScanService::Finish finish;
};

// Runs on the queue.
void finishIfComplete(const std::shared_ptr<SafariState>& state) {
  if (!state->groupsHandedOver || state->pendingItems != 0 || !state->finish) return;
  std::sort(state->storageItems.begin(), state->storageItems.end(),
            [](const FilePtr& a, const FilePtr& b) { return a->url.path() < b->url.path(); });
  privacy::attach(state->storageGroup, std::move(state->storageItems));
  PrivacyScanService::Finish finish = std::move(state->finish);
  state->finish = nullptr;
  state->queue.reset();
  finish();
}

FilePtr visitHistory(const CategoryPtr& category, int finderID) {
  const std::string store = privacy::findPath(privacy::safariFolder(), "History.db");
  FilePtr group =
      privacy::makeGroup(category, finderID, Status::Visit, Url::fromPath(store), "VisitHistory");
  std::vector<FilePtr> items;
  privacy::Store history(store, category->title);
  if (auto rows = history.rows(kHistoryQuery)) {
    for (const SqlRow& row : *rows) {
      std::string title = privacy::text(row, "title");
      const std::string address = privacy::text(row, "url");
      if (title.empty()) title = address;
      Timestamp date =
          dateFromSeconds(privacy::safariSeconds(privacy::number(row, "visit_time")), false);
      items.push_back(privacy::makeItem(group, category, static_cast<int>(items.size()),
                                        std::move(title), date, privacy::urlFromText(address),
                                        privacy::text(row, "id"), 1));
    }
  }
  privacy::attach(group, std::move(items));
  if (!history.note().empty()) group->scanErrorDesc = history.note();
  return group;
}

FilePtr downloadHistory(const CategoryPtr& category, int finderID) {
  const std::string store = privacy::findPath(privacy::safariFolder(), "Downloads.plist");
  FilePtr group = privacy::makeGroup(category, finderID, Status::Download, Url::fromPath(store),
                                     "DownloadsHistory");
  std::vector<FilePtr> items;
  std::string why;
  std::optional<PlistValue> list = fileExists(store) ? readPlistFile(store, &why) : std::nullopt;
  if (!why.empty()) {
    LogService::shard().log(LogService::LogLevel::Info, "Privacy store skipped: " + why);
    group->scanErrorDesc = "not read: " + why;
  }
  const PlistValue* history = list ? list->find("DownloadHistory") : nullptr;
  const PlistValue::Array* entries = history != nullptr ? history->asArray() : nullptr;
  if (entries != nullptr) {
    for (const PlistValue& entry : *entries) {
      if (!entry.isDictionary()) continue;
      const PlistValue* path = entry.find("DownloadEntryPath");
      const std::string* pathText = path != nullptr ? path->asString() : nullptr;
      std::string title = pathText != nullptr ? *pathText : std::string();
      const PlistValue* finished = entry.find("DownloadEntryDateFinishedKey");
      std::optional<PlistValue::DateValue> when =
          finished != nullptr ? finished->asDate() : std::nullopt;
      Timestamp date =
          when ? dateFromSeconds(when->secondsSince1970, false) : std::chrono::system_clock::now();
      const PlistValue* identifier = entry.find("DownloadEntryIdentifier");
      const std::string* identifierText = identifier != nullptr ? identifier->asString() : nullptr;
      std::any attachment;
      if (identifierText != nullptr) attachment = *identifierText;
      Url url = privacy::fileUrlOfPath(title);
      items.push_back(privacy::makeItem(group, category, static_cast<int>(items.size()),
                                        std::move(title), date, std::move(url),
                                        std::move(attachment), 3));
    }
  }
  privacy::attach(group, std::move(items));
  return group;
}

// A group of at most one item: the store file itself, when it exists.
FilePtr singleFileGroup(const CategoryPtr& category, int finderID, Status status,
                        const std::string& store, const std::string& iconName,
                        const std::string& title) {
  FilePtr group = privacy::makeGroup(category, finderID, status, Url::fromPath(store), iconName);
  std::vector<FilePtr> items;
  if (fileExists(store)) {
    items.push_back(privacy::makeItem(group, category, 0, title, std::chrono::system_clock::now(),
                                      Url::fromPath(store), std::any{}, 3));
  }
  privacy::attach(group, std::move(items));
  return group;
}

// Every entry below `folder`.
std::vector<ResourceValues> storageEntries(const std::string& folder) {
  std::vector<ResourceValues> entries;
  DirectoryEnumerator walk(folder, EnumerationOptions::none,
                           [](const std::string&, const std::string&) { return true; });
  while (std::optional<ResourceValues> item = walk.next()) entries.push_back(std::move(*item));
  return entries;
}

}  // namespace

void PrivacyScanService::scanSafari(const CategoryPtr& safariCategory, Finish finish) {
  auto state = std::make_shared<SafariState>();
  state->queue = std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
  state->category = safariCategory;
  state->finish = std::move(finish);
  const std::shared_ptr<SerialGCDService> queue = state->queue;
  auto addGroup = [&](FilePtr group) {
    runOnQueueOrHere(queue, [state, group] { state->category->childrens.push_back(group); });
  };

  int next = 0;
  addGroup(visitHistory(safariCategory, next++));
  addGroup(downloadHistory(safariCategory, next++));
  const std::string folder = privacy::safariFolder();
  addGroup(singleFileGroup(safariCategory, next++, Status::LastTab,
                           privacy::findPath(folder, "LastSession.plist"), "LastTabs",
                           "LastSession"));
  addGroup(singleFileGroup(safariCategory, next++, Status::AutoValue,
                           privacy::findPath(folder, "Form Values"), "AutoFill", "Form Values"));

  const std::string storage = privacy::findPath(folder, "LocalStorage");
  FilePtr storageGroup = privacy::makeGroup(safariCategory, next++, Status::LocalStorage,
                                            Url::fromPath(storage), "LocalStorage");
  std::vector<ResourceValues> entries = storageEntries(storage);
  runOnQueueOrHere(queue, [state, storageGroup, count = entries.size()] {
    state->storageGroup = storageGroup;
    state->pendingItems = count;
    state->category->childrens.push_back(storageGroup);
  });
  for (ResourceValues& entry : entries) {
    runOnPoolOrHere([state, queue, entry = std::move(entry)] {
      FilePtr item = SuperScanService::getFileInformationFromUrl(
          Url::fromPath(entry.path, entry.isDirectory),
          {ResourceKey::localizedName, ResourceKey::fileSize, ResourceKey::creationDate});
      runOnQueueOrHere(queue, [state, item] {
        if (item) {
          item->parentFileInfo = state->storageGroup;
          item->parentFinderID = state->storageGroup->finderID();
          item->parentCategoryInfo = state->category;
          item->levelInt = 1;
          state->storageItems.push_back(item);
        }
        --state->pendingItems;
        finishIfComplete(state);
      });
    });
  }

  addGroup(singleFileGroup(
      safariCategory, next++, Status::Cookies,
      privacy::findPath(Paths::shared().userHome(), "Cookies/Cookies.binarycookies"), "Cookies",
      "Cookies.binarycookies"));
  runOnQueueOrHere(queue, [state] {
    state->groupsHandedOver = true;
    finishIfComplete(state);
  });
}

}  // namespace orvexa
