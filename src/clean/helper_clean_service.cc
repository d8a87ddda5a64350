#include "orvexa/clean/helper_clean_service.h"

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "orvexa/helper/helper_event_plan.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/verified_removal.h"
#include "orvexa/scan/disk_analysis/disk_analysis_service.h"
#include "orvexa/scan/duplicate/duplicate_scan_service.h"
#include "orvexa/scan/large_old/large_and_old_file_service.h"
#include "orvexa/scan/similar_image/similar_scan_service.h"
#include "orvexa/scan/uninstall/uninstall_scan_service.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/queue_or_here.h"

namespace orvexa {
namespace {

// Every record without children below (or being) `file`, in order.
void collectLeaves(const FilePtr& file, std::vector<FilePtr>* leaves) {
  if (file->childrens.empty()) {
    leaves->push_back(file);
    return;
  }
  for (const FilePtr& child : file->childrens) collectLeaves(child, leaves);
}

// A record with children takes DeleteError when any leaf below it failed,
// else DeleteSuccess; its text is the first failure's.
bool settleFromLeaves(const FilePtr& file) {
  if (file->childrens.empty()) return file->deleteStatus == raw(DeleteStatus::DeleteSuccess);
  bool allDone = true;
  std::string firstError;
  for (const FilePtr& child : file->childrens) {
    if (!settleFromLeaves(child)) {
      if (allDone) firstError = child->deleteErrorDesc;
      allDone = false;
    }
  }
  file->deleteStatus = raw(allDone ? DeleteStatus::DeleteSuccess : DeleteStatus::DeleteError);
  if (!allDone) file->deleteErrorDesc = firstError;
  return allDone;
}

const std::string* textAt(const PlistValue& dict, std::string_view key) {
  const PlistValue* value = dict.find(key);
  return value != nullptr ? value->asString() : nullptr;
}

int64_t integerAt(const PlistValue& dict, std::string_view key, int64_t fallback) {
  const PlistValue* value = dict.find(key);
  if (value == nullptr) return fallback;
  return value->asInteger().value_or(fallback);
}

// The records the rebuild of the Common rule returns; also the stand-in when
// a request lacks what its scanner's rebuild needs (no category, or for
// Uninstall no feature).
std::vector<FilePtr> rebuildWithCommonRule(HelperCleanService& request) {
  return HelperCleanService::sortCategory(request).first;
}

std::vector<FilePtr> rebuildByOwner(HelperCleanService& request) {
  const CategoryPtr first =
      request.cleanCategorys.empty() ? nullptr : request.cleanCategorys.front();
  switch (request.cleanType) {
    case CleanServiceType::Common:
      break;
    case CleanServiceType::LargeAndOldFile:
      if (first) return std::get<1>(LargeAndOldFileService::sortCategory(first));
      break;
    case CleanServiceType::Duplicate:
      if (first) return std::get<1>(DuplicateScanService::sortCategory(first));
      break;
    case CleanServiceType::Similar:
      if (first) return std::get<1>(SimilarScanService::sortCategory(first));
      break;
    case CleanServiceType::Uninstall:
      if (request.featureInformation) {
        return std::get<1>(UninstallScanService::sortCategory(request.featureInformation));
      }
      break;
    case CleanServiceType::AnalysisDisk:
      if (first) return std::get<1>(DiskAnalysisService::sortCategory(first));
      break;
  }
  return rebuildWithCommonRule(request);
}

// Removes the records at `positions` (ascending) in one pass: the same
// result as erasing them highest first, without moving the rest each time.
void removePositions(std::vector<FilePtr>& records, const std::vector<size_t>& positions) {
  if (positions.empty()) return;
  std::vector<FilePtr> kept;
  kept.reserve(records.size() - positions.size());
  size_t next = 0;
  for (size_t k = 0; k < records.size(); ++k) {
    if (next < positions.size() && positions[next] == k) {
      ++next;
      continue;
    }
    kept.push_back(std::move(records[k]));
  }
  records = std::move(kept);
}

// The helper's answer for each path, for one lookup per path: an answer may
// hold many thousands, and PlistValue::find scans them all.
std::unordered_map<std::string_view, const PlistValue*> answersByPath(
    const PlistValue& information) {
  std::unordered_map<std::string_view, const PlistValue*> byPath;
  if (const PlistValue::Dictionary* answers = information.asDictionary()) {
    for (const auto& [path, entry] : answers->entries) byPath.emplace(path, &entry);
  }
  return byPath;
}

}  // namespace

std::vector<std::string> HelperCleanService::rootsOf(const FilePtr& file) const {
  auto it = recordRoots.find(file.get());
  return it != recordRoots.end() && it->second ? *it->second : std::vector<std::string>{};
}

bool FileInformationSet::insert(const FilePtr& file) {
  if (!members_.insert(file).second) return false;
  order_.push_back(file);
  return true;
}

HelperCleanService::HelperCleanService(std::shared_ptr<CleanServiceProtocol> finish,
                                       CleanServiceType type, std::vector<CategoryPtr> categorys)
    : finishService(std::move(finish)),
      cleanCategorys(std::move(categorys)),
      cleanType(type),
      queue_(std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_)) {}

void HelperCleanService::onQueue(std::function<void()> work) {
  runOnQueueOrHere(queue_, std::move(work));
}

void HelperCleanService::deleteFile() {
  // The event: leaves numbered in visiting order, grouped by path.
  // (Entries are appended directly: a request may hold many thousands of
  // paths, and looking each up in the dictionary would be quadratic.)
  std::vector<FilePtr> numbered;
  PlistValue::Dictionary entries;
  // Items the helper moves into the quarantine: path and journal row.
  std::vector<std::pair<std::string, int64_t>> quarantineRows;
  std::unordered_map<std::string, size_t> entryOfPath;
  std::unordered_map<std::string, size_t> numbersOfPath;
  for (const FilePtr& file : helperDelete) {
    if (vetoed.count(file.get()) != 0) continue;
    const std::vector<std::string> roots = rootsOf(file);
    std::vector<FilePtr> leaves;
    collectLeaves(file, &leaves);
    for (const FilePtr& leaf : leaves) {
      if (vetoed.count(leaf.get()) != 0) continue;
      const std::string path = leaf->url.path();
      const std::optional<ListedIdentity> identity = leaf->listedIdentity();
      const std::string root = rootFor(path, roots);
      if (!identity || root.empty()) {
        // Nothing the helper could check: refused here, as it would be there.
        leaf->deleteStatus = raw(DeleteStatus::DeleteError);
        leaf->deleteErrorDesc = !identity ? kNoIdentityText : kOutsideText;
        continue;
      }
      auto [it, added] = entryOfPath.emplace(path, entries.entries.size());
      if (added) {
        PlistValue::Dictionary value;
        putListedItem(&value, root, *identity);
        if (undoJournal) {
          // A unique name in the quarantine: the clean, the item, its name.
          const std::string name = std::to_string(undoCleanId) + "-" +
                                   std::to_string(quarantineRows.size()) + "-" +
                                   std::filesystem::path(path).filename().string().substr(0, 200);
          const int64_t row = Quarantine::recordPrivilegedIntent(*undoJournal, undoCleanId, path,
                                                                 name, leaf->freedSize());
          if (row == 0) {
            entryOfPath.erase(it);
            leaf->deleteStatus = raw(DeleteStatus::DeleteError);
            leaf->deleteErrorDesc = "the undo journal cannot be written; not moved";
            continue;
          }
          quarantineRows.emplace_back(path, row);
          value.entries.emplace_back(std::string(kHelperQuarantineKey), name);
        }
        entries.entries.emplace_back(path, PlistValue(std::move(value)));
      }
      const int number = static_cast<int>(numbered.size());
      numbered.push_back(leaf);
      PlistValue::Dictionary* numbers = entries.entries[it->second].second.asDictionary();
      if (numbers == nullptr) continue;
      numbers->entries.emplace_back(std::to_string(numbersOfPath[path]++), number);
    }
  }
  if (numbered.empty()) {
    // Everything was refused here: nothing to ask the helper.
    for (const FilePtr& file : helperDelete) settleFromLeaves(file);
    partFinished();
    return;
  }
  PlistValue event(std::move(entries));

  std::shared_ptr<HelperCleanService> self = shared_from_this();
  // Each journalled move is marked done, or dropped, by the helper's answer
  // for its path; without one (the connection was lost) the row is left for
  // the journal's next settling, which looks at the disk.
  auto settleRows = [self, quarantineRows](const PlistValue& information) {
    if (!self->undoJournal) return;
    const auto answers = answersByPath(information);
    for (const auto& [path, row] : quarantineRows) {
      const auto found = answers.find(path);
      const PlistValue* entry = found != answers.end() ? found->second : nullptr;
      const PlistValue* status = entry != nullptr ? entry->find(kHelperDeleteStatusKey) : nullptr;
      if (status == nullptr) continue;
      if (status->asInteger() == raw(HelperEventErrorID::Success)) {
        const PlistValue* to = entry->find(kHelperToPathKey);
        self->undoJournal->markMoved(
            row, to != nullptr && to->asString() != nullptr ? *to->asString() : std::string());
      } else {
        self->undoJournal->dropItem(row);
      }
    }
    self->undoJournal->finishClean(self->undoCleanId);
  };
  auto ask = [self, numbered, event, settleRows]() mutable {
    PrivilegeHelper::HelperTool tool = PrivilegeHelper::shard().getHelperTool(
        PrivilegeHelper::helperName(), kSMDomainSystemLaunchd);
    if (!tool.first) {
      const std::optional<std::string> error = tool.second;
      self->onQueue([self, error, settleRows] {
        settleRows(PlistValue::dictionary());
        self->failHelperRecords(error.value_or(kNoHelperText));
        self->errorStatus = raw(HelperEventErrorID::DeleteError);
        self->errorDesc = error.value_or(kInstallFailText);
        self->partFinished();
      });
      return;
    }
    std::shared_ptr<HelperProtocol> proxy = tool.first;
    self->onQueue([self, proxy] { self->privilegeHelper = proxy; });
    proxy->handleEvent(raw(HelperHanldeEventID::Delete), std::move(event),
                       [self, numbered, settleRows](bool, int code, PlistValue information) {
                         self->onQueue([self, numbered, code, information, settleRows] {
                           settleRows(information);
                           self->applyHelperAnswer(numbered, code, information);
                           self->partFinished();
                         });
                       });
  };
  // Obtaining the tool connects to its socket: not on the request's queue.
  runOnPoolOrHere(ask);
}

void HelperCleanService::failHelperRecords(const std::string& recordText) {
  // Records refused before the request keep their own reason.
  std::function<void(const FilePtr&)> fail = [&](const FilePtr& file) {
    if (file->childrens.empty() && file->deleteStatus == raw(DeleteStatus::DeleteError)) return;
    file->deleteStatus = raw(DeleteStatus::DeleteError);
    file->deleteErrorDesc = recordText;
    for (const FilePtr& child : file->childrens) fail(child);
  };
  for (const FilePtr& file : helperDelete) fail(file);
}

void HelperCleanService::applyHelperAnswer(const std::vector<FilePtr>& numbered, int code,
                                           const PlistValue& information) {
  const int64_t status =
      integerAt(information, kHelperDeleteStatusKey, raw(HelperEventErrorID::NoCause));
  if (status != raw(HelperEventErrorID::Success)) {
    const std::string* desc = textAt(information, kHelperDeleteDescKey);
    const std::string text =
        desc != nullptr ? *desc : "The helper answered with code " + std::to_string(code);
    failHelperRecords(text);
    errorStatus = static_cast<int>(status);
    errorDesc = text;
    helperDeleteFinishCount += static_cast<int>(numbered.size());
    return;
  }
  const auto entryOfPath = answersByPath(information);
  for (const FilePtr& leaf : numbered) {
    auto found = entryOfPath.find(leaf->url.path());
    const PlistValue* entry = found != entryOfPath.end() ? found->second : nullptr;
    if (entry == nullptr || !entry->isDictionary()) {
      leaf->deleteStatus = raw(DeleteStatus::DeleteError);
      leaf->deleteErrorDesc = "The helper gave no answer for " + leaf->url.path();
      continue;
    }
    ++helperDeleteFinishCount;
    if (integerAt(*entry, kHelperDeleteStatusKey, raw(HelperEventErrorID::NoCause)) ==
        raw(HelperEventErrorID::Success)) {
      leaf->deleteStatus = raw(DeleteStatus::DeleteSuccess);
      helperDeleteSize += leaf->freedSize();
    } else {
      const std::string* desc = textAt(*entry, kHelperDeleteDescKey);
      leaf->deleteStatus = raw(DeleteStatus::DeleteError);
      leaf->deleteErrorDesc = desc != nullptr ? *desc : std::string();
    }
  }
  for (const FilePtr& file : helperDelete) settleFromLeaves(file);
}

void HelperCleanService::partFinished() {
  ++cleanFinshCount;
  if (cleanFinshCount >= 2) allFinish();
}

void HelperCleanService::settleTwins() {
  for (const auto& [twin, queued] : queuedTwins) {
    twin->deleteStatus = queued->deleteStatus;
    twin->deleteErrorDesc = queued->deleteErrorDesc;
  }
}

void HelperCleanService::abnormalFinish() {
  if (reported_) return;
  reported_ = true;
  settleTwins();
  LogService::shard().log(LogService::LogLevel::Info, "CleanService ABNORMAL STATUS!!!");
  if (finishService) {
    finishService->cleanFinish(raw(cleanType), commonDeleteSize + helperDeleteSize, {},
                               raw(HelperEventErrorID::DeleteError), kAbnormalText);
  }
}

void HelperCleanService::allFinish() {
  if (reported_) return;
  reported_ = true;
  if (finishService) finishService->cleanProgress(0.75f);
  settleTwins();
  std::vector<FilePtr> records = rebuildByOwner(*this);
  if (finishService) {
    finishService->cleanFinish(raw(cleanType), commonDeleteSize + helperDeleteSize,
                               std::move(records), errorStatus, errorDesc);
  }
}

std::pair<std::vector<FilePtr>, std::string> HelperCleanService::sortCategory(
    HelperCleanService& helpToolCleanService) {
  std::vector<CategoryPtr>& categories = helpToolCleanService.cleanCategorys;
  FileInformationSet failed;
  std::string errorText;
  std::map<size_t, std::vector<size_t>> removable;  // category position -> record positions

  std::function<int(const FilePtr&)> failures = [&](const FilePtr& record) -> int {
    if (!record->childrens.empty()) {
      int sum = 0;
      for (const FilePtr& child : record->childrens) sum += failures(child);
      return sum;
    }
    if (record->deleteStatus == raw(DeleteStatus::DeleteSuccess) ||
        record->deleteStatus == raw(DeleteStatus::None)) {
      return 0;
    }
    failed.insert(record);
    errorText += record->deleteErrorDesc.str() + ",";
    return 1;
  };
  for (size_t i = 0; i < categories.size(); ++i) {
    CategoryInformation& category = *categories[i];
    if (category.state == 0) continue;
    std::vector<size_t>& positions = removable[i];
    for (size_t j = 0; j < category.childrens.size(); ++j) {
      const FilePtr& record = category.childrens[j];
      if (failures(record) == 0 && record->state == 1) {
        positions.push_back(j);
      } else {
        category.state = -1;
      }
    }
  }

  for (auto it = removable.rbegin(); it != removable.rend(); ++it) {
    const CategoryPtr category = categories[it->first];
    removePositions(category->childrens, it->second);
    if (category->needRemoveCategory && category->childrens.empty()) {
      categories.erase(categories.begin() + static_cast<std::ptrdiff_t>(it->first));
    }
  }

  if (!categories.empty() && categories.front()->needRemoveCategory) {
    for (size_t i = 0; i < categories.size(); ++i) categories[i]->setFinderID(static_cast<int>(i));
  }

  std::function<void(FileInformation&)> prune = [&](FileInformation& record) {
    std::vector<size_t> gone;
    for (size_t k = 0; k < record.childrens.size(); ++k) {
      FileInformation& child = *record.childrens[k];
      if (child.state == -1) {
        prune(child);
      } else if (child.state == 1 && child.deleteStatus == raw(DeleteStatus::DeleteSuccess)) {
        gone.push_back(k);
      }
    }
    removePositions(record.childrens, gone);
    record.state = 0;
  };
  std::function<int64_t(std::vector<FilePtr>&, int)> sizeOf = [&](std::vector<FilePtr>& records,
                                                                  int parent) -> int64_t {
    int64_t total = 0;
    for (size_t k = 0; k < records.size(); ++k) {
      FileInformation& record = *records[k];
      record.state = 0;
      record.parentFinderID = parent;
      record.setFinderID(static_cast<int>(k));
      if (!record.childrens.empty()) {
        prune(record);
        record.size = sizeOf(record.childrens, record.finderID());
      }
      total += record.size;
    }
    return total;
  };
  for (size_t i = 0; i < categories.size(); ++i) {
    categories[i]->size = sizeOf(categories[i]->childrens, static_cast<int>(i));
    categories[i]->state = 0;
  }
  return {failed.list(), errorText};
}

}  // namespace orvexa
