#include "orvexa/clean/clean_service.h"

#include <atomic>
#include <cerrno>
#include <mutex>

#include "orvexa/clean/undo_journal.h"
#include "orvexa/platform/verified_removal.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/queue_or_here.h"

namespace orvexa {
namespace {

std::atomic<CleanDisposal> gDisposal{CleanDisposal::ByType};
std::mutex gLabelMutex;
std::string gLabel = "clean";

// Where a clean that moves journals its items; null when it removes.
struct Mover {
  std::shared_ptr<UndoJournal> journal;  // shared with the helper's part
  int64_t cleanId = 0;
  std::string error;  // why the journal could not be opened
};

// Removes one record directly: its item, or (with children) each child by
// the same rule, keeping its own item. Adds the bytes of what went to
// *removed; true when everything went.
bool removeRecord(const FilePtr& file, const std::vector<std::string>& roots, int64_t* removed,
                  Mover* mover) {
  if (file->childrens.empty()) {
    FileStatus status;
    const std::string path = file->url.path();
    const std::optional<ListedIdentity> identity = file->listedIdentity();
    const std::string root = rootFor(path, roots);
    if (!file->url.isFileURL()) {
      // A web address names nothing on this disk; its path part must never
      // be taken for a file.
      status = FileStatus::withMessage(EINVAL, "Not a file: " + file->url.absoluteString());
    } else if (!identity) {
      status = FileStatus::withMessage(EINVAL, HelperCleanService::kNoIdentityText);
    } else if (root.empty()) {
      status = FileStatus::withMessage(EPERM, kOutsideText);
    } else if (mover == nullptr) {
      status = removeListedItem(ListedItem{root, path, *identity});
    } else if (!mover->journal) {
      status = FileStatus::withMessage(EIO, mover->error + "; not moved");
    } else {
      status = Quarantine::place(*mover->journal, mover->cleanId, ListedItem{root, path, *identity},
                                 file->freedSize());
    }
    if (status.ok()) {
      file->deleteStatus = raw(DeleteStatus::DeleteSuccess);
      *removed += file->freedSize();
      return true;
    }
    file->deleteStatus = raw(DeleteStatus::DeleteError);
    file->deleteErrorDesc = status.message();
    return false;
  }
  bool allRemoved = true;
  std::string firstError;
  for (const FilePtr& child : file->childrens) {
    if (!removeRecord(child, roots, removed, mover)) {
      if (allRemoved) firstError = child->deleteErrorDesc;
      allRemoved = false;
    }
  }
  file->deleteStatus = raw(allRemoved ? DeleteStatus::DeleteSuccess : DeleteStatus::DeleteError);
  if (!allRemoved) file->deleteErrorDesc = firstError;
  return allRemoved;
}

// Refuses a record and its ticked descendants (the ones selecting queued).
void veto(HelperCleanService& request, const FilePtr& file, const std::string& why) {
  file->deleteStatus = raw(DeleteStatus::DeleteError);
  file->deleteErrorDesc = why;
  request.vetoed.insert(file.get());
  for (const FilePtr& child : file->childrens) {
    if (child->state != 0) veto(request, child, why);
  }
}

// Duplicates are checked again before any copy goes: each group keeps an
// unticked copy that is still what was listed, and every ticked copy is
// still byte for byte identical to it; otherwise nothing of the group is
// removed. A copy inside a folder being removed is no kept copy (it goes
// with its folder), and a group without a kept copy is never emptied.
void verifyDuplicateGroups(HelperCleanService& request) {
  std::vector<std::string> queuedFolders;
  for (const FileInformationSet* queue : {&request.commonDelete, &request.helperDelete}) {
    for (const FilePtr& file : *queue) {
      const bool folder =
          file->fileKind == raw(FilesKind::Folder) || file->fileKind == raw(FilesKind::Package);
      // (A group record has children and no path of its own.)
      if (folder && file->childrens.empty() && !file->url.path().empty()) {
        queuedFolders.push_back(file->url.path() + "/");
      }
    }
  }
  auto goesWithAFolder = [&](const std::string& path) {
    for (const std::string& folder : queuedFolders) {
      if (path.compare(0, folder.size(), folder) == 0) return true;
    }
    return false;
  };
  for (const CategoryPtr& category : request.cleanCategorys) {
    for (const FilePtr& group : category->childrens) {
      if (group->childrens.empty()) continue;
      // By the ticks, as selecting reads them (a mixed copy loses some of
      // its content, so it is checked like a ticked one).
      if (group->state == 0) continue;
      const bool wholeGroup = group->state == 1;
      std::vector<FilePtr> going, kept;
      for (const FilePtr& member : group->childrens) {
        if (wholeGroup || member->state != 0) {
          going.push_back(member);
        } else if (!goesWithAFolder(member->url.path())) {
          kept.push_back(member);
        }
      }
      if (going.empty()) continue;
      const std::vector<std::string> roots = request.rootsOf(wholeGroup ? group : going.front());
      auto itemOf = [&roots](const FilePtr& member) -> std::optional<ListedItem> {
        const std::optional<ListedIdentity> identity = member->listedIdentity();
        const std::string path = member->url.path();
        const std::string root = rootFor(path, roots);
        if (!identity || root.empty()) return std::nullopt;
        return ListedItem{root, path, *identity};
      };
      std::optional<ListedItem> keptItem;
      for (const FilePtr& member : kept) {
        std::optional<ListedItem> item = itemOf(member);
        if (item && checkListedItem(*item).ok()) {
          keptItem = std::move(item);
          break;
        }
      }
      std::string why;
      FilePtr culprit;
      if (!keptItem) {
        why = kept.empty() ? "not removed: no copy of its group would be kept"
                           : "not removed: the copy kept of its group changed since it was listed";
      } else {
        for (const FilePtr& member : going) {
          std::optional<ListedItem> item = itemOf(member);
          FileStatus same = item ? compareListedItems(*item, *keptItem)
                                 : FileStatus::withMessage(EINVAL, kOutsideText);
          if (!same.ok()) {
            culprit = member;
            why = same.message();
            break;
          }
        }
      }
      if (why.empty()) continue;
      for (const FilePtr& member : going) {
        veto(request, member,
             culprit && member != culprit
                 ? "not removed: another copy of its group changed since it was listed"
                 : why);
      }
      if (wholeGroup) veto(request, group, why);
    }
  }
}

void selectRecords(const std::vector<FilePtr>& records, HelperCleanService& request) {
  for (const FilePtr& record : records) {
    if (record->state == 1) {
      CleanService::updateDeleteStatus(record, DeleteStatus::Deleteing, request);
    } else if (record->state == -1) {
      CleanService::handleMixStatus(record->childrens, request);
    }
  }
}

// Selects on the request's queue, from a pool thread, then removes.
void start(const std::shared_ptr<HelperCleanService>& request,
           std::vector<CategoryPtr> selectFrom) {
  auto begin = [request, selectFrom = std::move(selectFrom)] {
    request->onQueue([request, selectFrom] {
      LogService::shard().log(LogService::LogLevel::Info,
                              "CleanService Start:" + std::to_string(raw(request->cleanType)));
      for (const CategoryPtr& category : selectFrom) {
        auto roots = std::make_shared<std::vector<std::string>>();
        for (const Url& url : category->cleanRoots()) {
          if (url.isFileURL() && !url.path().empty()) roots->push_back(url.path());
        }
        request->selectingRoots = std::move(roots);
        selectRecords(category->childrens, *request);
      }
      request->selectingRoots.reset();
      CleanService::deleteFiles(request);
    });
  };
  runOnPoolOrHere(begin);
}

std::shared_ptr<HelperCleanService> makeRequest(std::vector<CategoryPtr> categories,
                                                CleanServiceType type,
                                                std::shared_ptr<CleanServiceProtocol> finish,
                                                const FeaturePtr& feature) {
  auto request = std::make_shared<HelperCleanService>(std::move(finish), type, categories);
  request->featureInformation = feature;
  if (!request->featureInformation && !categories.empty() && categories.front()) {
    request->featureInformation = categories.front()->featureInfo.lock();
  }
  return request;
}

void cleanOne(const CategoryPtr& category, CleanServiceType type,
              std::shared_ptr<CleanServiceProtocol> finish, const FeaturePtr& feature) {
  std::vector<CategoryPtr> categories;
  if (category) categories.push_back(category);
  start(makeRequest(categories, type, std::move(finish), feature), categories);
}

}  // namespace

void CleanService::cleanCategorys(const std::vector<CategoryPtr>& categorys,
                                  CleanServiceType cleanType,
                                  std::shared_ptr<CleanServiceProtocol> finishService,
                                  const FeaturePtr& featureInfo) {
  std::vector<CategoryPtr> categories;
  for (const CategoryPtr& category : categorys) {
    if (category) categories.push_back(category);
  }
  start(makeRequest(categories, cleanType, std::move(finishService), featureInfo), categories);
}

void CleanService::cleanLargeAndOldCategorys(const CategoryPtr& allCategory,
                                             CleanServiceType cleanType,
                                             std::shared_ptr<CleanServiceProtocol> finishService) {
  cleanOne(allCategory, cleanType, std::move(finishService), nullptr);
}

void CleanService::cleanDuplicateAndSimilarCategorys(
    const CategoryPtr& allCategory, CleanServiceType cleanType,
    std::shared_ptr<CleanServiceProtocol> finishService) {
  cleanOne(allCategory, cleanType, std::move(finishService), nullptr);
}

void CleanService::cleanDiskAnalysis(const CategoryPtr& allCategory, CleanServiceType cleanType,
                                     std::shared_ptr<CleanServiceProtocol> finishService,
                                     const FeaturePtr& featureInfo) {
  cleanOne(allCategory, cleanType, std::move(finishService), featureInfo);
}

void CleanService::setDisposal(CleanDisposal disposal) { gDisposal = disposal; }
CleanDisposal CleanService::disposal() { return gDisposal; }

bool CleanService::movesItems(CleanServiceType type) {
  switch (gDisposal.load()) {
    case CleanDisposal::Final:
      return false;
    case CleanDisposal::Undoable:
      return true;
    case CleanDisposal::ByType:
      break;
  }
  return type != CleanServiceType::Common;
}

void CleanService::setUndoLabel(std::string label) {
  std::lock_guard lock(gLabelMutex);
  gLabel = std::move(label);
}
std::string CleanService::undoLabel() {
  std::lock_guard lock(gLabelMutex);
  return gLabel;
}

void CleanService::updateDeleteStatus(const FilePtr& file, DeleteStatus status,
                                      HelperCleanService& helperService) {
  file->deleteStatus = raw(status);
  // Records that keep only their names (a disk analysis) get their paths
  // now, for what goes and all it holds.
  FileInformation::settleUrls(file);
  // Only files go to the helper: anything else fails on the direct path.
  FileInformationSet& queue = file->canDelete || !file->url.isFileURL()
                                  ? helperService.commonDelete
                                  : helperService.helperDelete;
  if (helperService.selectingRoots) {
    helperService.recordRoots.emplace(file.get(), helperService.selectingRoots);
  }
  if (!queue.insert(file)) {
    FilePtr queued = queue.find(file);
    if (queued && queued != file) helperService.queuedTwins.emplace_back(file, queued);
  }
}

void CleanService::handleMixStatus(const std::vector<FilePtr>& childrens,
                                   HelperCleanService& helperService) {
  for (const FilePtr& child : childrens) {
    if (child->state == 1) {
      updateDeleteStatus(child, DeleteStatus::Deleteing, helperService);
    } else if (child->state == -1) {
      handleMixStatus(child->childrens, helperService);
    }
  }
}

void CleanService::deleteFiles(const std::shared_ptr<HelperCleanService>& helpToolCleanService) {
  std::shared_ptr<HelperCleanService> request = helpToolCleanService;
  request->onQueue([request] {
    if (request->finishService) request->finishService->cleanProgress(0.25f);
    if (request->cleanType == CleanServiceType::Duplicate) verifyDuplicateGroups(*request);
    std::unique_ptr<Mover> mover;
    if (CleanService::movesItems(request->cleanType) &&
        (!request->commonDelete.empty() || !request->helperDelete.empty())) {
      mover = std::make_unique<Mover>();
      mover->journal = UndoJournal::open(UndoJournal::defaultPath(), true, &mover->error);
      if (mover->journal) mover->cleanId = mover->journal->beginClean(CleanService::undoLabel());
      if (mover->journal && mover->cleanId == 0) {
        mover->journal.reset();
        mover->error = "the undo journal cannot be written";
      }
      // The helper's items go to the privileged quarantine, journalled;
      // without a journal they stay, failing with the reason.
      request->undoJournal = mover->journal;
      request->undoCleanId = mover->cleanId;
    }
    if (mover && !mover->journal) {
      for (const FilePtr& file : request->helperDelete) {
        veto(*request, file, mover->error + "; not moved");
      }
    }
    if (!request->helperDelete.empty()) {
      request->deleteFile();
    } else {
      ++request->cleanFinshCount;  // nothing for the helper
    }
    for (const FilePtr& file : request->commonDelete) {
      int64_t removed = 0;
      if (request->vetoed.count(file.get()) != 0 ||
          !removeRecord(file, request->rootsOf(file), &removed, mover.get())) {
        request->commonDeleteAbnormal.insert(file);
        ++request->commonDeleteAbnormalCount;
      }
      request->commonDeleteSize += removed;
      ++request->commonDeleteFinishCount;
    }
    if (mover && mover->journal) mover->journal->finishClean(mover->cleanId);
    if (request->commonDeleteFinishCount != static_cast<int>(request->commonDelete.size())) {
      request->abnormalFinish();
      return;
    }
    if (request->finishService) request->finishService->cleanProgress(0.5f);
    request->partFinished();
  });
}

}  // namespace orvexa
