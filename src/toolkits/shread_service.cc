#include "orvexa/toolkits/shread_service.h"

#include <sys/stat.h>

#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "orvexa/helper/privilege_helper.h"
#include "orvexa/model/enums.h"
#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/resource_values.h"
#include "orvexa/platform/shred_passes.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/main_queue.h"
#include "orvexa/units/queue_or_here.h"
#include "orvexa/units/serial_queue.h"

namespace orvexa {

using ShredStatus = ShreadService::ShredStatus;
using ShredResult = ShreadService::ShredResult;

struct ShreadService::State {
  mutable std::mutex mu;
  std::shared_ptr<HelperProtocol> privilegeHelper;
  FileProgress progress;
  bool overwriteHardLinks = false;

  std::shared_ptr<HelperProtocol> helper() const {
    std::lock_guard lock(mu);
    return privilegeHelper;
  }
  void keepHelper(const std::shared_ptr<HelperProtocol>& proxy) {
    std::lock_guard lock(mu);
    if (!privilegeHelper) privilegeHelper = proxy;
  }
  // Forgets `proxy` if it is still the one kept.
  void forgetHelper(const std::shared_ptr<HelperProtocol>& proxy) {
    std::lock_guard lock(mu);
    if (privilegeHelper == proxy) privilegeHelper.reset();
  }
  FileProgress fileProgress() const {
    std::lock_guard lock(mu);
    return progress;
  }
  bool hardLinks() const {
    std::lock_guard lock(mu);
    return overwriteHardLinks;
  }
};

namespace {

constexpr const char* kNoHelperText = "The privileged helper could not be obtained.";
constexpr const char* kNoAnswerText = "The helper gave no answer for this path.";
constexpr const char* kLinkArgumentText =
    "a symbolic link: shred does not follow links, so neither it nor what it points to was "
    "touched (give the path of the file itself)";
constexpr const char* kNotAFileText = "neither a regular file nor a folder: left in place";
constexpr const char* kFolderKeptText =
    "not removed: some of the files in it were not shredded (each says why)";

bool allSucceeded(const ShredResult& result) {
  for (const auto& [path, outcome] : result) {
    if (outcome.first != raw(ShredStatus::Success)) return false;
  }
  return true;
}

const std::string* textAt(const PlistValue& dict, std::string_view key) {
  const PlistValue* value = dict.find(key);
  return value != nullptr ? value->asString() : nullptr;
}

// The outcome of a path from its entry in a Shred answer.
std::pair<int, std::string> outcomeOfEntry(const PlistValue& entry) {
  const PlistValue* statusValue = entry.find(kHelperDeleteStatusKey);
  const int64_t status = statusValue != nullptr
                             ? statusValue->asInteger().value_or(raw(HelperEventErrorID::NoCause))
                             : raw(HelperEventErrorID::NoCause);
  const std::string* desc = textAt(entry, kHelperDeleteDescKey);
  if (status == raw(HelperEventErrorID::Success)) return {raw(ShredStatus::Success), ""};
  const std::string text = desc != nullptr ? *desc : std::string();
  if (status == raw(HelperEventErrorID::ShreadFail)) return {raw(ShredStatus::ShredFail), text};
  return {raw(ShredStatus::DeleteFail), text};
}

// One shredFiles call: its counters and maps change only on `queue`.
struct FilesCall : std::enable_shared_from_this<FilesCall> {
  std::shared_ptr<ShreadService::State> service;
  ShreadService::FileProgress progress;
  ShreadService::Finish resultProcess;
  bool hardLinks = false;  // overwrite files with other hard links too
  std::shared_ptr<SerialGCDService> queue =
      std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
  size_t expected = 0;
  size_t reported = 0;
  ShredResult direct;  // Success, ShredFail and DeleteFail
  ShredResult helper;  // Prepare, then the helper's outcome
  bool finished = false;

  void tell(const std::string& path, int status, const std::string& text) const {
    if (progress) progress(path, static_cast<ShredStatus>(status), text);
  }

  // On queue: one file's own outcome.
  void record(const std::string& path, ShredStatus status, const std::string& text) {
    if (status == ShredStatus::Prepare) {
      helper[path] = {raw(status), ""};
    } else {
      direct[path] = {raw(status), text};
    }
    tell(path, raw(status), text);
    if (++reported == expected) allReported();
  }

  void allReported() {
    if (helper.empty()) {
      finish();
      return;
    }
    // Obtaining the tool connects to its socket: not on the queue.
    std::shared_ptr<FilesCall> self = shared_from_this();
    std::vector<std::string> waiting;
    waiting.reserve(helper.size());
    for (const auto& entry : helper) waiting.push_back(entry.first);
    runOnPoolOrHere([self, waiting] { self->askHelper(waiting); });
  }

  void askHelper(const std::vector<std::string>& waiting) {
    std::shared_ptr<FilesCall> self = shared_from_this();
    std::shared_ptr<HelperProtocol> proxy = service->helper();
    if (!proxy) {
      PrivilegeHelper::HelperTool tool = PrivilegeHelper::shard().getHelperTool(
          PrivilegeHelper::helperName(), kSMDomainSystemLaunchd);
      if (!tool.first) {
        const std::string error = tool.second.value_or(kNoHelperText);
        runOnQueueOrHere(queue, [self, error] {
          self->settleWaiting(ShredStatus::PrivilegeFail, error);
          self->finish();
        });
        return;
      }
      proxy = tool.first;
      service->keepHelper(proxy);
    }
    // Appended directly: a request may hold many thousands of paths.
    PlistValue::Dictionary entries;
    entries.entries.reserve(waiting.size());
    PlistValue options = PlistValue::dictionary();
    if (hardLinks) options.set(std::string(kHelperHardLinksKey), true);
    for (const std::string& path : waiting) entries.entries.emplace_back(path, options);
    proxy->handleEvent(raw(HelperHanldeEventID::Shred), PlistValue(std::move(entries)),
                       [self, proxy](bool ok, int code, PlistValue information) {
                         runOnQueueOrHere(self->queue, [self, proxy, ok, code, information] {
                           self->applyAnswer(proxy, ok, code, information);
                           self->finish();
                         });
                       });
  }

  void settleWaiting(ShredStatus status, const std::string& text) {
    for (auto& [path, outcome] : helper) {
      outcome = {raw(status), status == ShredStatus::Success ? std::string() : text};
      tell(path, outcome.first, outcome.second);
    }
  }

  void applyAnswer(const std::shared_ptr<HelperProtocol>& proxy, bool ok, int code,
                   const PlistValue& information) {
    if (ok) {
      settleWaiting(ShredStatus::Success, "");
      return;
    }
    const PlistValue* top = information.find(kHelperDeleteStatusKey);
    if (top != nullptr && !top->isDictionary()) {
      // Not carried out at all: refused, or the connection went away.
      const std::string* desc = textAt(information, kHelperDeleteDescKey);
      const std::string text = desc != nullptr ? *desc
                                               : "The privileged helper answered with code " +
                                                     std::to_string(code) + ".";
      if (text == kHelperConnectionLostText) service->forgetHelper(proxy);
      settleWaiting(ShredStatus::PrivilegeFail, text);
      return;
    }
    std::unordered_map<std::string_view, const PlistValue*> entryOfPath;
    if (const PlistValue::Dictionary* answers = information.asDictionary()) {
      for (const auto& [path, entry] : answers->entries) entryOfPath.emplace(path, &entry);
    }
    for (auto& [path, outcome] : helper) {
      auto found = entryOfPath.find(path);
      if (found == entryOfPath.end() || !found->second->isDictionary()) {
        outcome = {raw(ShredStatus::DeleteFail), kNoAnswerText};
      } else {
        outcome = outcomeOfEntry(*found->second);
      }
      tell(path, outcome.first, outcome.second);
    }
  }

  // On queue: reports (what was shredded directly is already removed).
  void finish() {
    if (finished) return;
    finished = true;
    ShredResult result = std::move(direct);
    for (const auto& entry : helper) result.insert(entry);
    const bool success = allSucceeded(result);
    ShreadService::Finish report = std::move(resultProcess);
    if (report) report(success, std::move(result));
  }
};

// Shreds one file directly and removes it from the folder it was found in.
std::pair<ShredStatus, std::string> shredDirectly(const Url& url, bool overwriteHardLinks) {
  ShredFileService shredder(url);
  shredder.setOverwriteHardLinks(overwriteHardLinks);
  ShredReport report = shredder.shredFile();
  if (report.count("TRUE") == 0) return {ShredStatus::ShredFail, report["FALSE"]};
  std::string error;
  if (!shredder.removeFile(&error)) return {ShredStatus::DeleteFail, error};
  return {ShredStatus::Success, ""};
}

// Why an item given to shred is not taken at all: a symbolic link (never
// followed, and left in place), or an item that is neither a regular file
// nor a folder. Nullopt for what is taken; *missing for what is not there.
std::optional<std::string> refusalOf(const std::string& path, bool* isFolder, bool* missing) {
  struct stat st {};
  *missing = false;
  if (::lstat(path.c_str(), &st) != 0) {
    *missing = true;
    return std::nullopt;
  }
  *isFolder = S_ISDIR(st.st_mode);
  if (S_ISLNK(st.st_mode)) return std::string(kLinkArgumentText);
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return std::string(kNotAFileText);
  return std::nullopt;
}

// One shredFolder call.
struct FolderCall {
  ShreadService::Finish resultProcess;
  std::shared_ptr<SerialGCDService> queue =
      std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
  size_t expected = 0;
  size_t reported = 0;
  bool success = true;
  ShredResult result;

  // On queue: one folder's outcome (and those of its failed files).
  void record(const std::string& folder, std::pair<int, std::string> outcome,
              const ShredResult& failedFiles) {
    if (outcome.first != raw(ShredStatus::Success)) success = false;
    result[folder] = std::move(outcome);
    for (const auto& entry : failedFiles) result.insert(entry);
    if (++reported == expected && resultProcess) {
      ShreadService::Finish report = std::move(resultProcess);
      report(success, std::move(result));
    }
  }
};

// The regular files below `folder`; `walkError` receives the first folder
// that could not be read. A folder given as a link is not walked.
std::vector<Url> regularFilesBelow(const std::string& folder, std::string* walkError) {
  std::vector<Url> files;
  std::optional<ResourceValues> self = resourceValues(folder, ResourceFetch::basic);
  if (!self || self->isSymbolicLink) return files;
  DirectoryEnumerator walk(folder, EnumerationOptions::none,
                           [walkError](const std::string& path, const std::string& error) {
                             if (walkError->empty()) *walkError = path + ": " + error;
                             return true;
                           });
  while (std::optional<ResourceValues> item = walk.next()) {
    if (item->isRegularFile) files.push_back(Url::fromPath(item->path, false));
  }
  return files;
}

}  // namespace

ShreadService::ShreadService() : state_(std::make_shared<State>()) {}

std::shared_ptr<HelperProtocol> ShreadService::privilegeHelper() const { return state_->helper(); }

void ShreadService::setPrivilegeHelper(std::shared_ptr<HelperProtocol> proxy) {
  std::lock_guard lock(state_->mu);
  state_->privilegeHelper = std::move(proxy);
}

void ShreadService::setFileProgress(FileProgress progress) {
  std::lock_guard lock(state_->mu);
  state_->progress = std::move(progress);
}

const char* ShreadService::statusName(int status) {
  switch (status) {
    case raw(ShredStatus::Success):
      return "Success";
    case raw(ShredStatus::ShredFail):
      return "ShredFail";
    case raw(ShredStatus::DeleteFail):
      return "DeleteFail";
    case raw(ShredStatus::PrivilegeFail):
      return "PrivilegeFail";
    case raw(ShredStatus::Prepare):
      return "Prepare";
    default:
      return "Unknown";
  }
}

void ShreadService::setOverwriteHardLinks(bool overwrite) {
  std::lock_guard lock(state_->mu);
  state_->overwriteHardLinks = overwrite;
}

void ShreadService::shred(std::vector<Url> urls, Finish finish) {
  std::vector<Url> files;
  std::vector<Url> folders;
  ShredResult refused;
  for (const Url& url : urls) {
    bool isFolder = false;
    bool missing = false;
    if (std::optional<std::string> why = refusalOf(url.path(), &isFolder, &missing)) {
      refused[url.path()] = {raw(ShredStatus::ShredFail), *why};
    } else if (!missing) {
      (isFolder ? folders : files).push_back(Url::fromPath(url.path(), isFolder));
    }
  }
  if (FileProgress progress = state_->fileProgress()) {
    for (const auto& [path, outcome] : refused)
      progress(path, ShredStatus::ShredFail, outcome.second);
  }

  // Both halves report here; the merge runs on the main queue only.
  struct Merge {
    Finish finish;
    int reported = 0;
    bool success = true;
    ShredResult result;
  };
  auto merge = std::make_shared<Merge>();
  merge->finish = std::move(finish);
  merge->success = refused.empty();
  merge->result = std::move(refused);
  auto half = [merge](bool success, ShredResult result) {
    MainQueue::async([merge, success, result = std::move(result)]() mutable {
      merge->result.merge(result);
      // A failure of either half fails the whole.
      merge->success = merge->success && success;
      if (++merge->reported == 2 && merge->finish) {
        Finish report = std::move(merge->finish);
        report(merge->success, std::move(merge->result));
      }
    });
  };
  shredFiles(std::move(files), half);
  shredFolder(std::move(folders), half);
}

void ShreadService::shredFiles(std::vector<Url> urls, Finish resultProcess) {
  if (urls.empty()) {
    if (resultProcess) resultProcess(true, {});
    return;
  }
  auto call = std::make_shared<FilesCall>();
  call->service = state_;
  call->progress = state_->fileProgress();
  call->resultProcess = std::move(resultProcess);
  call->expected = urls.size();
  const std::string user = Identity::shared().userName();
  const bool hardLinks = state_->hardLinks();
  call->hardLinks = hardLinks;
  for (Url& url : urls) {
    runOnPoolOrHere([call, url = std::move(url), user, hardLinks] {
      const std::string& path = url.path();
      std::pair<ShredStatus, std::string> outcome{ShredStatus::Prepare, ""};
      bool isFolder = false;
      bool missing = false;
      if (std::optional<std::string> why = refusalOf(path, &isFolder, &missing)) {
        outcome = {ShredStatus::ShredFail, *why};
      } else if (missing) {
        outcome = {ShredStatus::ShredFail, "no such file or folder"};
      } else if (isDeletableFileAtPath(path) && ownerAccountName(path) == user) {
        outcome = shredDirectly(url, hardLinks);
      }
      runOnQueueOrHere(call->queue, [call, path, outcome] {
        call->record(path, outcome.first, outcome.second);
      });
    });
  }
}

void ShreadService::shredFolder(std::vector<Url> urls, Finish resultProcess) {
  if (urls.empty()) {
    if (resultProcess) resultProcess(true, {});
    return;
  }
  auto call = std::make_shared<FolderCall>();
  call->resultProcess = std::move(resultProcess);
  call->expected = urls.size();
  ShreadService self = *this;  // shares the state
  for (const Url& url : urls) {
    const std::string folder = url.path();
    runOnPoolOrHere([self, call, folder]() mutable {
      bool isFolder = false;
      bool missing = false;
      if (std::optional<std::string> why = refusalOf(folder, &isFolder, &missing)) {
        runOnQueueOrHere(call->queue, [call, folder, why] {
          call->record(folder, {raw(ShredStatus::ShredFail), *why}, {});
        });
        return;
      }
      auto walkError = std::make_shared<std::string>();
      std::vector<Url> files = regularFilesBelow(folder, walkError.get());
      self.shredFiles(std::move(files),
                      [call, folder, walkError](bool success, ShredResult shredded) {
                        std::pair<int, std::string> outcome{raw(ShredStatus::Success), ""};
                        ShredResult failedFiles;
                        if (success && walkError->empty()) {
                          if (FileStatus removed = removeItem(folder); !removed.ok()) {
                            outcome = {raw(ShredStatus::DeleteFail), removed.message()};
                          }
                        } else {
                          outcome = {raw(ShredStatus::ShredFail),
                                     walkError->empty() ? kFolderKeptText : *walkError};
                          for (auto& entry : shredded) {
                            if (entry.second.first != raw(ShredStatus::Success))
                              failedFiles.insert(entry);
                          }
                        }
                        runOnQueueOrHere(call->queue, [call, folder, outcome, failedFiles] {
                          call->record(folder, outcome, failedFiles);
                        });
                      });
    });
  }
}

}  // namespace orvexa
