// Cleaning the recent items and the application permissions.
#include <algorithm>
#include <set>

#include "clean/privacy_clean_support.h"
#include "clean/privacy_store_edits.h"
#include "orvexa/clean/privacy_clean_service.h"
#include "orvexa/platform/ascii_case.h"
#include "orvexa/platform/bundle.h"
#include "orvexa/platform/file_writer.h"
#include "orvexa/platform/keyed_archive.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "orvexa/scan/privacy/app_permissions_name.h"
#include "orvexa/scan/privacy/xbel.h"
#include "orvexa/units/terminal_tool.h"

namespace orvexa {
namespace {

using privacy::Failures;

constexpr const char* kWriteFileError = "Write File Error!";

std::vector<FilePtr> tickedItems(const FilePtr& group) {
  std::vector<FilePtr> ticked;
  for (const FilePtr& item : group->childrens) {
    if (privacy::isTicked(item)) ticked.push_back(item);
  }
  return ticked;
}

// Removes the ticked positions from the Finder's recent folders. True when
// the list was rewritten.
bool cleanFinderGroup(const FilePtr& group, const std::string& store, Failures& failures) {
  std::vector<FilePtr> ticked = tickedItems(group);
  if (ticked.empty()) return false;
  std::set<size_t> positions;
  for (const FilePtr& item : ticked) {
    if (const int* position = std::any_cast<int>(&item->attachInformation); position != nullptr) {
      if (*position >= 0) positions.insert(static_cast<size_t>(*position));
    }
  }
  bool written = false;
  std::optional<std::string> bytes = privacy::readStoreFile(store);
  std::optional<PlistValue> preferences = bytes ? readPlist(*bytes) : std::nullopt;
  PlistValue* folders = preferences ? preferences->find("FXRecentFolders") : nullptr;
  PlistValue::Array* array = folders != nullptr ? folders->asArray() : nullptr;
  if (array != nullptr) {
    std::vector<bool> removed(array->size(), false);
    for (size_t position : positions) {
      if (position < removed.size()) removed[position] = true;
    }
    const std::string updated =
        privacy::withoutPlistEntries(*bytes, std::move(*preferences), "FXRecentFolders", removed);
    written = !updated.empty() && writeFileAtomically(store, updated).ok();
  }
  for (const FilePtr& item : ticked) {
    if (written) {
      privacy::mark(item, DeleteStatus::DeleteSuccess);
    } else {
      failures.add(item, kWriteFileError);
    }
  }
  return written;
}

// Removes one entry, by its uuid, from the shared file list at `path`.
bool removeSharedListEntry(const std::string& path, const std::any& uuid, std::string* why) {
  std::optional<std::string> bytes = privacy::readStoreFile(path);
  if (!bytes) {
    *why = "Cannot read " + path;
    return false;
  }
  std::optional<PlistValue> list = unarchiveObjectWithData(*bytes, why);
  if (!list || !list->isDictionary()) {
    if (list) *why = "Not a list: " + path;
    return false;
  }
  PlistValue* entries = list->find("items");
  PlistValue::Array* array = entries != nullptr ? entries->asArray() : nullptr;
  if (array == nullptr) {
    *why = "No items in " + path;
    return false;
  }
  std::optional<PlistValue> wanted;
  if (const std::string* text = std::any_cast<std::string>(&uuid)) wanted = PlistValue(*text);
  if (const PlistValue* value = std::any_cast<PlistValue>(&uuid)) wanted = *value;
  if (!wanted) {
    *why = "No uuid";
    return false;
  }
  std::erase_if(*array, [&](const PlistValue& entry) {
    const PlistValue* id = entry.find("uuid");
    return id != nullptr && *id == *wanted;
  });
  std::optional<std::string> archive = archivedDataWithRootObject(*list, why);
  if (!archive) return false;
  if (!writeFileAtomically(path, *archive).ok()) {
    *why = "Cannot write " + path;
    return false;
  }
  return true;
}

// Takes the ticked bookmarks (by href) out of the recent-files list; every
// other byte of the file stays as it was.
void cleanRecentFiles(const FilePtr& group, const std::string& store, Failures& failures) {
  std::vector<FilePtr> ticked = tickedItems(group);
  if (ticked.empty()) return;
  std::set<std::string> hrefs;
  for (const FilePtr& item : ticked) {
    privacy::mark(item, DeleteStatus::Deleteing);
    if (const auto* href = std::any_cast<std::string>(&item->attachInformation))
      hrefs.insert(*href);
  }
  std::optional<std::string> bytes = privacy::readStoreFile(store);
  std::optional<std::vector<privacy::XbelBookmark>> bookmarks =
      bytes ? privacy::readXbel(*bytes) : std::nullopt;
  std::string why;
  if (!bookmarks) {
    why = "Cannot read " + store;
  } else {
    std::vector<bool> removed;
    bool any = false;
    for (const privacy::XbelBookmark& bookmark : *bookmarks) {
      removed.push_back(hrefs.count(bookmark.href) > 0);
      any = any || removed.back();
    }
    if (any &&
        !writeFileAtomically(store, privacy::withoutXbelBookmarks(*bytes, *bookmarks, removed))
             .ok()) {
      why = "Cannot write " + store;
    }
  }
  for (const FilePtr& item : ticked) {
    if (why.empty()) {
      privacy::mark(item, DeleteStatus::DeleteSuccess);
    } else {
      failures.add(item, why);
    }
  }
}

}  // namespace

PrivacyCleanResult PrivacyCleanService::cleanRecentItem(const CategoryPtr& recentItemCategory) {
  Failures failures;
  bool finderChanged = false;
  bool sharedListChanged = false;
  const std::string finderStore =
      privacy::findPath(Paths::shared().userLibrary(), "Preferences/com.apple.finder.plist");
  for (const FilePtr& group : recentItemCategory->childrens) {
    privacy::mark(group, DeleteStatus::Deleteing);
    const size_t before = failures.items.size();
    if (privacy::localPath(group->url) == privacy::recentlyUsedStore()) {
      cleanRecentFiles(group, privacy::recentlyUsedStore(), failures);
    } else if (privacy::localPath(group->url).find(finderStore) != std::string::npos) {
      finderChanged = cleanFinderGroup(group, finderStore, failures) || finderChanged;
    } else {
      for (const FilePtr& item : tickedItems(group)) {
        privacy::mark(item, DeleteStatus::Deleteing);
        std::string why;
        if (!item->url.isFileURL()) {
          failures.add(item, "Not a file: " + item->url.absoluteString());
        } else if (removeSharedListEntry(item->url.path(), item->attachInformation, &why)) {
          privacy::mark(item, DeleteStatus::DeleteSuccess);
          sharedListChanged = true;
        } else {
          failures.add(item, why);
        }
      }
    }
    privacy::finishGroup(group, failures, before);
  }
  // The running services keep the lists in memory: restart them to reload.
  if (finderChanged) TerminalUtils::runTerminal(Paths::shared().tool("killall"), {"Finder"});
  if (sharedListChanged) {
    TerminalUtils::runTerminal(Paths::shared().tool("killall"), {"sharedfilelistd"});
  }
  sortCategory(recentItemCategory);
  return failures.result();
}

PrivacyCleanResult PrivacyCleanService::cleanApplicationPermission(
    const CategoryPtr& applicationCategory) {
  Failures failures;
  for (const FilePtr& group : applicationCategory->childrens) {
    const std::string bundle = privacy::localPath(group->url);
    std::optional<ApplicationBundle> app =
        bundle.empty() ? std::nullopt : readApplicationBundle(bundle);
    if (!app) continue;
    privacy::mark(group, DeleteStatus::Deleteing);
    const size_t before = failures.items.size();
    for (const FilePtr& item : tickedItems(group)) {
      privacy::mark(item, DeleteStatus::Deleteing);
      const auto* permission = std::any_cast<AppPermissionsName>(&item->attachInformation);
      const std::string service = permission != nullptr ? permission->getCateogory() : "";
      if (service.empty()) continue;
      const std::string output = TerminalUtils::runTerminal(
          Paths::shared().tool("tccutil"), {"reset", service, app->bundleIdentifier});
      const std::string text = asciiLower(output);
      if (text.find("true") != std::string::npos || text.find("success") != std::string::npos) {
        privacy::mark(item, DeleteStatus::DeleteSuccess);
      } else {
        failures.add(item, output.empty() ? "tccutil printed nothing" : output);
      }
    }
    privacy::finishGroup(group, failures, before);
  }
  sortCategory(applicationCategory);
  return failures.result();
}

}  // namespace orvexa
