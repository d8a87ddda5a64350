#include "scan/privacy/privacy_support.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

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
  if (auto rows = store.rows(query)) {
    for (const SqlRow& row : *rows) {
      items.push_back(makeItem(row, group, static_cast<int>(items.size())));
    }
  }
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
