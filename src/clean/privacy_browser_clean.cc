// Cleaning the browser categories.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <span>

#include "clean/privacy_clean_support.h"
#include "clean/privacy_store_edits.h"
#include "orvexa/clean/privacy_clean_service.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/file_writer.h"
#include "orvexa/platform/plist.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"

namespace orvexa {
namespace {

using privacy::Binding;
using privacy::Failures;
using privacy::Status;

// A group whose ticked items are rows of a browser's database: the file
// (by its name in the profile), the statement, and the item's key: its
// integer identifier (0), or that many text parts.
struct RowDeletion {
  Status status;
  const char* store;
  const char* statement;
  size_t textParts;
};

// Deletes the ticked rows of `group` by the table's entry for `status`; a
// status the table lacks deletes nothing.
void deleteRowsOf(const FilePtr& group, Status status, std::span<const RowDeletion> table,
                  const std::function<std::string(std::string_view)>& store, Failures& failures) {
  for (const RowDeletion& entry : table) {
    if (entry.status != status) continue;
    const size_t parts = entry.textParts;
    privacy::deleteRows(
        group, store(entry.store), entry.statement,
        [parts](const FilePtr& item) {
          return parts == 0 ? privacy::integerAttachment(item) : privacy::textParts(item, parts);
        },
        failures);
    return;
  }
}

// Download locations come from the history, which any page can fill: only
// regular files in the home go. Local storage is the browser's own folder.
privacy::FileKinds fileKindsOf(Status status) {
  return status == Status::DownloadFile ? privacy::FileKinds::RegularOnly : privacy::FileKinds::Any;
}

// Removes from Safari's download list the entries whose identifier contains
// the item's attachment; the file is read and replaced once per item.
void cleanSafariDownloads(const FilePtr& group, const std::string& store, Failures& failures) {
  privacy::mark(group, DeleteStatus::Deleteing);
  const size_t before = failures.items.size();
  for (const FilePtr& item : group->childrens) {
    if (!privacy::isTicked(item)) continue;
    privacy::mark(item, DeleteStatus::Deleteing);
    std::optional<std::string> bytes = privacy::readStoreFile(store);
    std::optional<PlistValue> list = bytes ? readPlist(*bytes) : std::nullopt;
    if (!list || !list->isDictionary()) {
      failures.add(item, "Cannot read " + store);
      continue;
    }
    PlistValue* history = list->find("DownloadHistory");
    PlistValue::Array* entries = history != nullptr ? history->asArray() : nullptr;
    if (entries == nullptr) {
      failures.add(item, "No download history in " + store);
      continue;
    }
    const std::string* identifier = std::any_cast<std::string>(&item->attachInformation);
    if (identifier == nullptr || identifier->empty()) {
      failures.add(item, "No download identifier");
      continue;
    }
    std::vector<bool> removed;
    for (const PlistValue& entry : *entries) {
      const PlistValue* id = entry.find("DownloadEntryIdentifier");
      const std::string* text = id != nullptr ? id->asString() : nullptr;
      removed.push_back(text != nullptr && text->find(*identifier) != std::string::npos);
    }
    const std::string updated =
        privacy::withoutPlistEntries(*bytes, std::move(*list), "DownloadHistory", removed);
    if (updated.empty() || !writeFileAtomically(store, updated).ok()) {
      failures.add(item, "Cannot write " + store);
      continue;
    }
    privacy::mark(item, DeleteStatus::DeleteSuccess);
  }
  privacy::finishGroup(group, failures, before);
}

constexpr const char* kUnreadableLogins =
    "The logins file could not be read: nothing was removed from it";

// Removes the ticked logins from Firefox's logins.json, matched by "id".
// The logins go as byte spans of the file: nothing else in it changes.
void cleanFirefoxLogins(const FilePtr& group, const std::string& store, Failures& failures) {
  privacy::mark(group, DeleteStatus::Deleteing);
  const size_t before = failures.items.size();
  if (!fileExists(store)) {
    privacy::finishGroup(group, failures, before);
    return;
  }
  std::optional<std::string> bytes = privacy::readStoreFile(store);
  const bool valid = bytes && nlohmann::json::accept(*bytes);
  std::vector<privacy::Span> logins;
  std::vector<std::optional<int64_t>> ids;  // per login: its "id" when a whole number
  bool readable = false;
  if (valid) {
    privacy::JsonSpans json(*bytes);
    // The reader skips a leading byte order mark; so does the cut.
    const size_t top = json.skipBlank(bytes->rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0);
    std::optional<privacy::Span> list = json.lastMember({top, bytes->size()}, "logins");
    readable = list && json.at(list->first) == '[';
    if (readable) logins = json.elements(list->first);
    for (const privacy::Span& login : logins) {
      std::optional<privacy::Span> id = json.lastMember(login, "id");
      ids.push_back(id ? integerFromText(json.text(*id)) : std::nullopt);
    }
  }

  std::vector<bool> removed(logins.size(), false);
  std::vector<FilePtr> found;  // the ticked items whose login is in the file
  for (const FilePtr& item : group->childrens) {
    if (!privacy::isTicked(item)) continue;
    privacy::mark(item, DeleteStatus::Deleteing);
    const std::string* text = std::any_cast<std::string>(&item->attachInformation);
    std::optional<int64_t> id = text != nullptr ? integerFromText(*text) : std::nullopt;
    if (!id) continue;
    bool matches = false;
    for (size_t i = 0; i < ids.size(); ++i) {
      if (ids[i] == id) removed[i] = matches = true;
    }
    if (matches) {
      found.push_back(item);
      privacy::mark(item, DeleteStatus::DeleteSuccess);
    }
  }
  if (!readable) {
    // Nothing can be matched in a file that is not a logins list: every
    // ticked item fails, so the clean does not report success.
    for (const FilePtr& item : group->childrens) {
      if (privacy::isTicked(item)) failures.add(item, kUnreadableLogins);
    }
    privacy::mark(group, DeleteStatus::DeleteError);
    return;
  }
  if (!found.empty() &&
      !writeFileAtomically(store, privacy::withoutJsonElements(*bytes, logins, removed)).ok()) {
    // The logins are all still in the file: the items found there failed,
    // as the items of a failed database edit do, and stay in the tree.
    for (const FilePtr& item : found) failures.add(item, "Cannot write " + store);
    privacy::mark(group, DeleteStatus::DeleteError);
    return;
  }
  privacy::finishGroup(group, failures, before);
}

// The profile folder a browser group was read from: every group's url names
// a store (or the local-storage folder) directly inside its profile folder,
// so one clean serves every profile the scan read. A group without a local
// url falls back to `profile`, the profile the macOS layout reads ("": no
// store).
std::string profileOf(const FilePtr& group, std::string profile) {
  std::string path = privacy::localPath(group->url);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) profile = path.substr(0, slash);
  return profile;
}

std::function<std::string(std::string_view)> storesBeside(const std::string& profile) {
  return [profile](std::string_view name) {
    return profile.empty() ? std::string() : privacy::findPath(profile, name);
  };
}

// Whether the browser lock link `link` names a process that runs: the
// Chrome family links "SingletonLock" in its data folder to "<host>-<pid>",
// Firefox links "lock" in the profile to "<address>:+<pid>"; a crashed
// browser leaves a link whose process is gone. A running browser keeps its
// rows in memory and writes them back, and its files open: its stores are
// not edited under it, even where SQLite would let us.
bool browserLockHeld(const std::string& link, std::string_view beforePid) {
  char target[256];
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
  if (n <= 0) return false;
  const std::string_view text(target, static_cast<size_t>(n));
  const size_t at = text.rfind(beforePid);
  if (at == std::string_view::npos) return false;
  const std::string_view digits = text.substr(at + beforePid.size());
  pid_t pid = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (error != std::errc() || end != digits.data() + digits.size() || pid <= 0) return false;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

// Fails the ticked items of `group` with runningMessage(group).
void refuseWhileRunning(const FilePtr& group, privacy::Failures& failures) {
  privacy::mark(group, DeleteStatus::Deleteing);
  const size_t before = failures.items.size();
  for (const FilePtr& item : group->childrens) {
    if (privacy::isTicked(item)) failures.add(item, privacy::runningMessage(group));
  }
  privacy::finishGroup(group, failures, before);
}

}  // namespace

PrivacyCleanResult PrivacyCleanService::cleanSafari(const CategoryPtr& category) {
  Failures failures;
  const std::string folder = privacy::safariFolder();
  for (const FilePtr& group : category->childrens) {
    std::optional<Status> status = privacy::statusOf(group);
    if (!status) continue;
    switch (*status) {
      case Status::Visit:
        privacy::deleteRows(group, privacy::findPath(folder, "History.db"),
                            "delete from history_visits where id = ?", privacy::integerAttachment,
                            failures);
        break;
      case Status::Download:
        cleanSafariDownloads(group, privacy::findPath(folder, "Downloads.plist"), failures);
        break;
      case Status::LastTab:
      case Status::AutoValue:
      case Status::LocalStorage:
      case Status::Cookies:
        privacy::removeFiles(group, privacy::FileKinds::Any, failures);
        break;
      default:
        break;
    }
  }
  sortCategory(category);
  return failures.result();
}

PrivacyCleanResult PrivacyCleanService::cleanChrome(const CategoryPtr& category) {
  static constexpr RowDeletion kDeletions[] = {
      {Status::Visit, "History", "delete from visits where id = ?", 0},
      {Status::Download, "History", "delete from downloads where id = ?", 0},
      {Status::Search, "History", "delete from keyword_search_terms where url_id = ?", 0},
      {Status::Cookies, "cookies", "delete from cookies where creation_utc = ?", 0},
      {Status::LoginHistory, "login Data",
       "delete from logins where origin_url = ? and signon_realm = ? and username_value = ?", 3},
      {Status::AutoValue, "Web Data", "delete from autofill where name = ? and value = ?", 2},
  };
  Failures failures;
  const std::string profile =
      privacy::findPath(privacy::chromeFolder(), PrivacyScanService::getChromeProfile());
  for (const FilePtr& group : category->childrens) {
    std::optional<Status> status = privacy::statusOf(group);
    if (!status) continue;
    const std::string folder = profileOf(group, profile);
    if (*status != Status::DownloadFile && !folder.empty() &&
        browserLockHeld(std::filesystem::path(folder).parent_path() / "SingletonLock", "-")) {
      refuseWhileRunning(group, failures);
    } else if (*status == Status::DownloadFile || *status == Status::LocalStorage) {
      privacy::removeFiles(group, fileKindsOf(*status), failures);
    } else {
      deleteRowsOf(group, *status, kDeletions, storesBeside(folder), failures);
    }
  }
  sortCategory(category);
  return failures.result();
}

PrivacyCleanResult PrivacyCleanService::cleanFirefox(const CategoryPtr& category) {
  static constexpr RowDeletion kDeletions[] = {
      {Status::Visit, "places.sqlite", "delete from moz_places where id = ?", 0},
      {Status::Download, "places.sqlite", "delete from moz_annos where id = ?", 0},
      {Status::Search, "places.sqlite", "delete from moz_keywords where id = ?", 0},
      {Status::Cookies, "cookies.sqlite", "delete from moz_cookies where id = ?", 0},
      {Status::AutoValue, "formhistory.sqlite", "delete from moz_formhistory where id = ?", 0},
  };
  Failures failures;
  const std::string profile = PrivacyScanService::getFirefoxProfile().value_or("");
  for (const FilePtr& group : category->childrens) {
    std::optional<Status> status = privacy::statusOf(group);
    if (!status) continue;
    const std::string folder = profileOf(group, profile);
    auto store = storesBeside(folder);
    if (*status != Status::DownloadFile && !folder.empty() &&
        browserLockHeld(folder + "/lock", ":+")) {
      refuseWhileRunning(group, failures);
    } else if (*status == Status::LoginHistory) {
      cleanFirefoxLogins(group, store("logins.json"), failures);
    } else if (*status == Status::DownloadFile || *status == Status::LocalStorage) {
      privacy::removeFiles(group, fileKindsOf(*status), failures);
    } else {
      deleteRowsOf(group, *status, kDeletions, store, failures);
    }
  }
  sortCategory(category);
  return failures.result();
}

}  // namespace orvexa
