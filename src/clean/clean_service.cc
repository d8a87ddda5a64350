#include "orvexa/clean/clean_service.h"

#include "orvexa/platform/file_manager.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/log_service.h"

namespace orvexa {
namespace {

// Removes one record directly: its item, or (with children) each child by
// the same rule, keeping its own item. Adds the bytes of what went to
// *removed; true when everything went.
bool removeRecord(const FilePtr& file, int64_t* removed) {
  if (file->childrens.empty()) {
    if (!file->url.isFileURL()) {
      // A web address names nothing on this disk; its path part must never
      // be taken for a file.
      file->deleteStatus = raw(DeleteStatus::DeleteError);
      file->deleteErrorDesc = "Not a file: " + file->url.absoluteString();
      return false;
    }
    FileStatus status = removeItem(file->url.path());
    if (status.ok()) {
      file->deleteStatus = raw(DeleteStatus::DeleteSuccess);
      *removed += file->size;
      return true;
    }
    file->deleteStatus = raw(DeleteStatus::DeleteError);
    file->deleteErrorDesc = status.message();
    return false;
  }
  bool allRemoved = true;
  std::string firstError;
  for (const FilePtr& child : file->childrens) {
    if (!removeRecord(child, removed)) {
      if (allRemoved) firstError = child->deleteErrorDesc;
      allRemoved = false;
    }
  }
  file->deleteStatus = raw(allRemoved ? DeleteStatus::DeleteSuccess : DeleteStatus::DeleteError);
  if (!allRemoved) file->deleteErrorDesc = firstError;
  return allRemoved;
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
      for (const CategoryPtr& category : selectFrom) selectRecords(category->childrens, *request);
      CleanService::deleteFiles(request);
    });
  };
  if (!dispatchGlobal(DispatchQoS::default_, begin)) begin();
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

void CleanService::updateDeleteStatus(const FilePtr& file, DeleteStatus status,
                                      HelperCleanService& helperService) {
  file->deleteStatus = raw(status);
  // Only files go to the helper: anything else fails on the direct path.
  FileInformationSet& queue = file->canDelete || !file->url.isFileURL()
                                  ? helperService.commonDelete
                                  : helperService.helperDelete;
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
    if (!request->helperDelete.empty()) {
      request->deleteFile();
    } else {
      ++request->cleanFinshCount;  // nothing for the helper
    }
    for (const FilePtr& file : request->commonDelete) {
      int64_t removed = 0;
      if (!removeRecord(file, &removed)) {
        request->commonDeleteAbnormal.insert(file);
        ++request->commonDeleteAbnormalCount;
      }
      request->commonDeleteSize += removed;
      ++request->commonDeleteFinishCount;
    }
    if (request->commonDeleteFinishCount != static_cast<int>(request->commonDelete.size())) {
      request->abnormalFinish();
      return;
    }
    if (request->finishService) request->finishService->cleanProgress(0.5f);
    request->partFinished();
  });
}

}  // namespace orvexa
