#include "clean_feature.h"

#include <fmt/core.h>
#include <fnmatch.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "orvexa/clean/clean_service.h"
#include "orvexa/helper/helper_protocol.h"
#include "output.h"

namespace orvexa::cli {
namespace {

using nlohmann::json;

class WaitingFinish : public CleanServiceProtocol {
 public:
  void cleanFinish(int cleanID, int64_t size, std::vector<FilePtr> records, int status,
                   std::string desc) override {
    (void)cleanID;
    std::lock_guard lock(mu_);
    size_ = size;
    failed_ = std::move(records);
    status_ = status;
    desc_ = std::move(desc);
    done_ = true;
    cv_.notify_all();
  }
  void cleanProgress(float) override {}

  void wait() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [this] { return done_; });
  }
  int64_t size() const { return size_; }
  int status() const { return status_; }
  const std::string& desc() const { return desc_; }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  int64_t size_ = 0;
  std::vector<FilePtr> failed_;
  int status_ = 0;
  std::string desc_;
};

bool matches(const FileInformation& record, const std::vector<std::string>& patterns) {
  if (record.url.empty()) return false;
  if (patterns.empty()) return true;
  for (const std::string& pattern : patterns) {
    if (::fnmatch(pattern.c_str(), record.url.path().c_str(), 0) == 0) return true;
  }
  return false;
}

void tickWhole(FileInformation& record) {
  record.state = 1;
  for (const FilePtr& child : record.childrens) tickWhole(*child);
}

// Ticks `record` (whole) when it matches, else its matching descendants;
// returns the record's resulting state.
int tick(FileInformation& record, const std::vector<std::string>& patterns) {
  if (matches(record, patterns)) {
    tickWhole(record);
    return 1;
  }
  if (record.childrens.empty()) {
    record.state = 0;
    return 0;
  }
  size_t ticked = 0;
  bool mixed = false;
  for (const FilePtr& child : record.childrens) {
    int state = tick(*child, patterns);
    if (state == 1) ++ticked;
    if (state != 0) mixed = true;
  }
  record.state = ticked == record.childrens.size() ? 1 : (mixed ? -1 : 0);
  return record.state;
}

// The outermost ticked records that have a path: what the user sees as
// "an item" of the clean.
void collectTicked(const std::vector<FilePtr>& records, std::vector<FilePtr>* out) {
  for (const FilePtr& record : records) {
    if (record->state == 1 && !record->url.empty()) {
      out->push_back(record);
    } else if (record->state != 0) {
      collectTicked(record->childrens, out);
    }
  }
}

bool confirm(size_t count, int64_t bytes) {
  fmt::print(stderr, "Delete {} item{} ({})? [y/N] ", count, count == 1 ? "" : "s",
             humanSize(bytes));
  std::fflush(stderr);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

void startClean(const std::vector<CategoryPtr>& categories, const FeaturePtr& feature,
                CleanServiceType type, const std::shared_ptr<WaitingFinish>& finish) {
  switch (type) {
    case CleanServiceType::Common:
    case CleanServiceType::Uninstall:
      CleanService::cleanCategorys(categories, type, finish, feature);
      return;
    case CleanServiceType::LargeAndOldFile:
      CleanService::cleanLargeAndOldCategorys(categories.front(), type, finish);
      return;
    case CleanServiceType::Duplicate:
    case CleanServiceType::Similar:
      CleanService::cleanDuplicateAndSimilarCategorys(categories.front(), type, finish);
      return;
    case CleanServiceType::AnalysisDisk:
      CleanService::cleanDiskAnalysis(categories.front(), type, finish, feature);
      return;
  }
}

// Unticks the first member of a group whose members are all ticked.
void keepOne(FileInformation& group) {
  if (group.childrens.empty() || group.state != 1) return;
  std::function<void(FileInformation&)> untick = [&untick](FileInformation& record) {
    record.state = 0;
    for (const FilePtr& child : record.childrens) untick(*child);
  };
  untick(*group.childrens.front());
  group.state = group.childrens.size() > 1 ? -1 : 0;
}

}  // namespace

int cleanFeature(const CommonOptions& options, const FeaturePtr& feature, CleanServiceType type,
                 std::vector<CategoryPtr> categories, CleanTicking ticking) {
  if (ticking.requireSelect && options.clean.select.empty()) {
    printError("--clean needs --select GLOB here: say which records to delete");
    return 2;
  }
  if (categories.empty()) categories = feature->categoryInfo;
  std::vector<FilePtr> ticked;
  int64_t tickedBytes = 0;
  for (const CategoryPtr& category : categories) {
    size_t tickedHere = 0;
    bool any = false;
    for (const FilePtr& record : category->childrens) {
      int state = tick(*record, options.clean.select);
      if (ticking.keepOneOfEachGroup && state == 1) {
        keepOne(*record);
        state = record->state;
      }
      if (state == 1) ++tickedHere;
      if (state != 0) any = true;
    }
    category->state = !category->childrens.empty() && tickedHere == category->childrens.size()
                          ? 1
                          : (any ? -1 : 0);
    std::vector<FilePtr> here;
    collectTicked(category->childrens, &here);
    for (const FilePtr& record : here) {
      ticked.push_back(record);
      tickedBytes += record->size;
    }
  }

  if (ticked.empty()) {
    if (options.json) {
      printJson(json{
          {"feature", featureToJson(*feature)},
          {"total", 0},
          {"clean", {{"freed", 0}, {"status", 1}, {"error", ""}, {"records", json::array()}}}});
    } else {
      fmt::print("Nothing to clean.\n");
    }
    return 0;
  }
  if (!options.clean.yes) {
    if (::isatty(STDIN_FILENO) != 1) {
      printError(
          "--clean asks before deleting, but standard input is not a terminal: "
          "add --yes to delete without asking");
      return 2;
    }
    if (!confirm(ticked.size(), tickedBytes)) {
      fmt::print("Nothing was deleted.\n");
      return 0;
    }
  }

  auto finish = std::make_shared<WaitingFinish>();
  startClean(categories, feature, type, finish);
  finish->wait();

  size_t failed = 0;
  size_t failedForHelper = 0;
  json records = json::array();
  for (const FilePtr& record : ticked) {
    const bool removed = record->deleteStatus == raw(DeleteStatus::DeleteSuccess);
    if (!removed) {
      ++failed;
      if (!record->canDelete) ++failedForHelper;
    }
    if (options.json) {
      records.push_back(json{{"path", record->url.path()},
                             {"size", record->size},
                             {"deleteStatus", record->deleteStatus},
                             {"deleteErrorDesc", record->deleteErrorDesc}});
    } else if (removed) {
      fmt::print("removed  {:>10}  {}\n", humanSize(record->size), record->url.path());
    } else {
      fmt::print("failed   {:>10}  {}: {}\n", humanSize(record->size), record->url.path(),
                 record->deleteErrorDesc);
    }
  }
  if (options.json) {
    int64_t left = 0;
    for (const CategoryPtr& category : feature->categoryInfo) left += category->size;
    printJson(json{{"feature", featureToJson(*feature)},
                   {"total", left},
                   {"clean",
                    {{"freed", finish->size()},
                     {"status", finish->status()},
                     {"error", finish->desc()},
                     {"records", std::move(records)}}}});
  } else {
    fmt::print("Freed: {} ({} bytes)\n", humanSize(finish->size()), finish->size());
  }
  if (failedForHelper > 0 && finish->status() != raw(HelperEventErrorID::Success)) {
    printError(fmt::format(
        "{} item{} need{} root rights, but the privileged helper could not be used ({}); install "
        "it with \"sudo orvexa helper install\"",
        failedForHelper, failedForHelper == 1 ? "" : "s", failedForHelper == 1 ? "s" : "",
        finish->desc()));
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace orvexa::cli
