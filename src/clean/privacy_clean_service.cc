// The privacy clean's shared steps and the rebuild of a cleaned category.
#include "orvexa/clean/privacy_clean_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <algorithm>

#include <cerrno>
#include <mutex>
#include <utility>

#include "clean/privacy_clean_support.h"
#include "orvexa/clean/clean_service.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/verified_removal.h"
#include "platform/unique_fd.h"

namespace orvexa {
namespace privacy {

void Failures::add(const FilePtr& item, std::string why) {
  mark(item, DeleteStatus::DeleteError);
  item->deleteErrorDesc = std::move(why);
  items.push_back(item);
}

void mark(const FilePtr& record, DeleteStatus status) { record->deleteStatus = raw(status); }

bool isTicked(const FilePtr& item) { return item->state == 1; }

std::optional<Status> statusOf(const FilePtr& group) {
  if (const Status* status = std::any_cast<Status>(&group->attachInformation)) return *status;
  return std::nullopt;
}

void finishGroup(const FilePtr& group, const Failures& failures, size_t before) {
  mark(group,
       failures.items.size() > before ? DeleteStatus::DeleteError : DeleteStatus::DeleteSuccess);
}

Binding integerAttachment(const FilePtr& item) {
  const std::string* text = std::any_cast<std::string>(&item->attachInformation);
  if (text == nullptr) return Binding::skip();
  std::optional<int64_t> value = integerFromText(*text);
  if (!value) return Binding::fail("Not a row identifier: \"" + *text + "\"");
  return Binding::bind({*value});
}

Binding textParts(const FilePtr& item, size_t count) {
  std::vector<std::string> parts;
  if (const auto* key = std::any_cast<PrivacyRowKey>(&item->attachInformation)) {
    parts = key->parts;
  } else if (const auto* text = std::any_cast<std::string>(&item->attachInformation)) {
    size_t at = 0;
    for (;;) {
      size_t comma = text->find(',', at);
      parts.push_back(
          text->substr(at, comma == std::string::npos ? std::string::npos : comma - at));
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
  } else {
    return Binding::skip();
  }
  parts.resize(count);
  std::vector<SqlValue> values;
  for (std::string& part : parts) values.emplace_back(std::move(part));
  return Binding::bind(std::move(values));
}

void deleteRows(const FilePtr& group, const std::string& store, const std::string& statement,
                const BindingOf& bindingOf, Failures& failures) {
  mark(group, DeleteStatus::Deleteing);
  const size_t before = failures.items.size();
  bool folder = false;
  SqliteTool db;
  if (!fileExists(store, &folder) || folder || !db.openDB(store)) {
    finishGroup(group, failures, before);
    return;
  }
  std::vector<std::pair<FilePtr, Binding>> work;
  for (const FilePtr& item : group->childrens) {
    if (!isTicked(item)) continue;
    Binding binding = bindingOf(item);
    if (binding.kind == Binding::Kind::Skip) continue;
    mark(item, DeleteStatus::Deleteing);
    if (binding.kind == Binding::Kind::Fail) {
      failures.add(item, binding.why);
    } else {
      work.emplace_back(item, std::move(binding));
    }
  }
  // One transaction for the group: either every row goes or none does. The
  // write lock is taken first, so a store its program holds stays untouched.
  std::string why;
  auto [began, beginMessage] =
      work.empty() ? std::pair<bool, std::string>{true, ""} : db.executionSQL("BEGIN IMMEDIATE");
  if (!began) why = db.locked() ? runningMessage(group) : beginMessage;
  for (size_t i = 0; why.empty() && i < work.size(); ++i) {
    auto [ok, message] = db.executionSQL(statement, work[i].second.values);
    if (!ok) why = message;
  }
  if (why.empty() && !work.empty()) {
    auto [ok, message] = db.executionSQL("COMMIT");
    if (!ok) why = db.locked() ? runningMessage(group) : message;
  }
  if (!why.empty()) {
    if (began) (void)db.executionSQL("ROLLBACK");
    for (const auto& [item, binding] : work) failures.add(item, why);
  } else {
    for (const auto& [item, binding] : work) mark(item, DeleteStatus::DeleteSuccess);
  }
  db.closeDB(store);
  finishGroup(group, failures, before);
}

std::string runningMessage(const FilePtr& group) {
  const CategoryPtr category = group->parentCategoryInfo.lock();
  return (category ? category->title : std::string("The browser")) +
         " is running: quit it and clean again";
}

namespace {

constexpr const char* kOutsideHome = "not removed: outside your home folder";
constexpr const char* kNotRegular = "not removed: not a regular file";
constexpr const char* kThroughLink = "not removed: a folder on its path is a link";

// The names of `path`'s components ("." and empty ones dropped); nothing
// when one is ".." (the text alone cannot tell where that leads).
std::optional<std::vector<std::string>> componentsOf(std::string_view path) {
  std::vector<std::string> names;
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view name = path.substr(at, slash - at);
    if (name == "..") return std::nullopt;
    if (!name.empty() && name != ".") names.emplace_back(name);
    at = slash + 1;
  }
  return names;
}

}  // namespace

FileStatus removeInsideHome(const std::string& path, FileKinds kinds,
                            const std::function<FileStatus(const ListedItem&)>& instead) {
  const std::string home = Paths::shared().userHome();
  std::optional<std::vector<std::string>> names = componentsOf(path);
  std::optional<std::vector<std::string>> homeNames = componentsOf(home);
  if (path.empty() || path.front() != '/' || !names || !homeNames ||
      names->size() <= homeNames->size() ||
      !std::equal(homeNames->begin(), homeNames->end(), names->begin())) {
    return FileStatus::withMessage(EPERM, kOutsideHome);
  }
  // The home itself is the paths table's and trusted as it is; below it no
  // link is followed.
  detail::UniqueFd folder(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return FileStatus::fromErrno(errno, home);
  for (size_t i = homeNames->size(); i + 1 < names->size(); ++i) {
    const char* name = (*names)[i].c_str();
    detail::UniqueFd next(
        ::openat(folder.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) {
      const int err = errno;
      struct stat st {};
      if (err == ELOOP ||
          (::fstatat(folder.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))) {
        return FileStatus::withMessage(EPERM, kThroughLink);
      }
      return FileStatus::fromErrno(err, path);
    }
    folder = std::move(next);
  }
  const char* leaf = names->back().c_str();
  struct stat st {};
  if (::fstatat(folder.get(), leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return FileStatus::fromErrno(errno, path);
  }
  // A folder goes through the verified removal, which empties it without
  // following a link or leaving its device, and only while it is the folder
  // examined here.
  if (S_ISDIR(st.st_mode) && kinds == FileKinds::Any) {
    if (instead) return instead({home, path, ListedIdentity::fromStat(st)});
    return removeListedItem({home, path, ListedIdentity::fromStat(st)});
  }
  if (!S_ISREG(st.st_mode) && kinds == FileKinds::RegularOnly) {
    return FileStatus::withMessage(EPERM, kNotRegular);
  }
  if (instead) return instead({home, path, ListedIdentity::fromStat(st)});
  // Without AT_REMOVEDIR a folder swapped in meanwhile fails (EISDIR), and
  // a link is removed itself.
  if (::unlinkat(folder.get(), leaf, 0) != 0) return FileStatus::fromErrno(errno, path);
  return FileStatus();
}

namespace {
// The clean ids begun in this process and not yet taken.
struct JournalledCleans {
  std::mutex mu;
  std::vector<int64_t> ids;
  void add(int64_t id) {
    std::lock_guard lock(mu);
    ids.push_back(id);
  }
};
JournalledCleans& journalledCleans() {
  static JournalledCleans cleans;
  return cleans;
}
}  // namespace

void removeFiles(const FilePtr& group, FileKinds kinds, Failures& failures) {
  mark(group, DeleteStatus::Deleteing);
  const size_t before = failures.items.size();
  for (const FilePtr& item : group->childrens) {
    if (!isTicked(item)) continue;
    mark(item, DeleteStatus::Deleteing);
    // Only a file URL names something here: a web address's path is no file.
    const std::string path = localPath(item->url);
    // Unless told to remove for good, file items go to the trash (undo).
    std::function<FileStatus(const ListedItem&)> move;
    if (CleanService::disposal() != CleanDisposal::Final) {
      move = [&failures, &item](const ListedItem& listed) {
        if (!failures.journal && failures.journalError.empty()) {
          failures.journal =
              UndoJournal::open(UndoJournal::defaultPath(), true, &failures.journalError);
          if (failures.journal) {
            failures.cleanId = failures.journal->beginClean(CleanService::undoLabel());
            if (failures.cleanId != 0) journalledCleans().add(failures.cleanId);
          }
          if (failures.journal && failures.cleanId == 0) {
            failures.journal.reset();
            failures.journalError = "the undo journal cannot be written";
          }
        }
        if (!failures.journal) {
          return FileStatus::withMessage(EIO, failures.journalError + "; not moved");
        }
        FileStatus placed =
            Quarantine::place(*failures.journal, failures.cleanId, listed, item->freedSize());
        failures.journal->finishClean(failures.cleanId);
        return placed;
      };
    }
    FileStatus status =
        !item->url.isFileURL()
            ? FileStatus::withMessage(EINVAL, "Not a file: " + item->url.absoluteString())
        : path.empty() ? FileStatus::withMessage(ENOENT, "No file to remove")
                       : removeInsideHome(path, kinds, move);
    if (status.ok()) {
      mark(item, DeleteStatus::DeleteSuccess);
    } else {
      failures.add(item, status.message());
    }
  }
  finishGroup(group, failures, before);
}

}  // namespace privacy

std::vector<int64_t> PrivacyCleanService::takeJournalledCleans() {
  privacy::JournalledCleans& cleans = privacy::journalledCleans();
  std::lock_guard lock(cleans.mu);
  return std::exchange(cleans.ids, {});
}

void PrivacyCleanService::sortCategory(const CategoryPtr& category) {
  std::vector<FilePtr>& groups = category->childrens;
  for (auto group = groups.rbegin(); group != groups.rend(); ++group) {
    if ((*group)->state == 0) continue;
    std::vector<FilePtr>& items = (*group)->childrens;
    for (size_t i = items.size(); i-- > 0;) {
      if (items[i]->deleteStatus == raw(DeleteStatus::DeleteSuccess)) {
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  for (size_t i = groups.size(); i-- > 0;) {
    if (groups[i]->removeCategory && groups[i]->childrens.empty()) {
      groups.erase(groups.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  for (size_t i = 0; i < groups.size(); ++i) {
    const FilePtr& group = groups[i];
    if (group->removeCategory) group->setFinderID(static_cast<int>(i));
    group->state = 0;
    for (size_t j = 0; j < group->childrens.size(); ++j) {
      const FilePtr& item = group->childrens[j];
      item->state = 0;
      item->parentFinderID = group->finderID();
      item->setFinderID(static_cast<int>(j));
    }
  }
}

}  // namespace orvexa
