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
#include <optional>
#include <set>
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

bool matchesPath(const std::string& path, const std::vector<std::string>& patterns) {
  for (const std::string& pattern : patterns) {
    if (::fnmatch(pattern.c_str(), path.c_str(), 0) == 0) return true;
  }
  return false;
}

bool matches(const FileInformation& record, const std::vector<std::string>& patterns) {
  const Url url = record.fileUrl();
  if (url.empty()) return false;
  return patterns.empty() || matchesPath(url.path(), patterns);
}

bool matchesCategory(const CategoryInformation& category,
                     const std::vector<std::string>& patterns) {
  if (patterns.empty()) return true;
  if (matchesPath(category.title, patterns)) return true;
  return !category.urls.empty() && matchesPath(category.urls.front().path(), patterns);
}

// The records below `records` (themselves included), parents before their
// children, in order. Iterative, as are all walks here: a disk analysis tree
// may be thousands of levels deep.
template <typename Visit>
void forEachRecord(const std::vector<FilePtr>& records, Visit visit) {
  std::vector<FileInformation*> stack;
  for (auto it = records.rbegin(); it != records.rend(); ++it) stack.push_back(it->get());
  while (!stack.empty()) {
    FileInformation* record = stack.back();
    stack.pop_back();
    visit(*record);
    for (auto it = record->childrens.rbegin(); it != record->childrens.rend(); ++it) {
      stack.push_back(it->get());
    }
  }
}

void setStateBelow(FileInformation& top, int state) {
  top.state = state;
  forEachRecord(top.childrens, [state](FileInformation& record) { record.state = state; });
}

// Gives every record at and below `top` its state, children first: a record
// for which `decide` has a state takes it, with everything below it; any
// other takes 1 when all its children are ticked, -1 when some are, and 0
// when none are or it has none. With `pathsDecide`, a record that has a path
// of its own takes -1 instead of 1: only `decide` ticks it whole, because the
// clean removes a ticked folder itself, not only its items.
int settle(FileInformation& top,
           const std::function<std::optional<int>(const FileInformation&)>& decide,
           bool pathsDecide) {
  struct Frame {
    FileInformation* record;
    size_t next = 0;
    size_t ticked = 0;
    bool any = false;
  };
  std::vector<Frame> stack;
  int result = 0;
  auto report = [&stack, &result](int state) {
    if (stack.empty()) {
      result = state;
      return;
    }
    if (state == 1) ++stack.back().ticked;
    if (state != 0) stack.back().any = true;
  };
  // The record's state when it is settled at once; else it is pushed.
  auto enter = [&stack, &decide](FileInformation& record) -> std::optional<int> {
    if (std::optional<int> state = decide(record)) {
      setStateBelow(record, *state);
      return state;
    }
    if (record.childrens.empty()) {
      record.state = 0;
      return 0;
    }
    stack.push_back(Frame{&record});
    return std::nullopt;
  };
  if (std::optional<int> state = enter(top)) return *state;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next < frame.record->childrens.size()) {
      FileInformation& child = *frame.record->childrens[frame.next++];
      if (std::optional<int> state = enter(child)) report(*state);
      continue;
    }
    const Frame done = frame;
    stack.pop_back();
    int state = done.ticked == done.record->childrens.size() ? 1 : (done.any ? -1 : 0);
    if (state == 1 && pathsDecide && !done.record->fileUrl().empty()) state = -1;
    done.record->state = state;
    report(done.record->state);
  }
  return result;
}

// Ticks `record` (whole) when it matches, else its matching descendants (so
// a folder whose every item matches keeps the folder); returns the record's
// resulting state.
int tick(FileInformation& record, const std::vector<std::string>& patterns) {
  return settle(
      record,
      [&patterns](const FileInformation& r) -> std::optional<int> {
        if (matches(r, patterns)) return 1;
        return std::nullopt;
      },
      /*pathsDecide=*/true);
}

// Keeps ticked only the records without children that were ticked before
// (`before`) and are ticked now.
int intersect(FileInformation& record, const std::set<const FileInformation*>& before) {
  return settle(
      record,
      [&before](const FileInformation& r) -> std::optional<int> {
        if (!r.childrens.empty()) return std::nullopt;
        return r.state == 1 && before.count(&r) != 0 ? 1 : 0;
      },
      /*pathsDecide=*/false);
}

// The outermost ticked records that have a path: what the user sees as
// "an item" of the clean.
void collectTicked(const std::vector<FilePtr>& records, std::vector<FilePtr>* out) {
  std::vector<FilePtr> stack(records.rbegin(), records.rend());
  while (!stack.empty()) {
    FilePtr record = std::move(stack.back());
    stack.pop_back();
    if (record->state == 1 && !record->fileUrl().empty()) {
      out->push_back(record);
    } else if (record->state != 0) {
      stack.insert(stack.end(), record->childrens.rbegin(), record->childrens.rend());
    }
  }
}

// `freed`: what the items take on the disk, which is what deleting them
// gives back; the listing above shows their logical sizes, so say which.
bool confirm(size_t count, int64_t freed) {
  return askedYes(fmt::format("Delete {} item{} (frees {} on disk)?", count, count == 1 ? "" : "s",
                              humanSize(freed)));
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
  setStateBelow(*group.childrens.front(), 0);
  group.state = group.childrens.size() > 1 ? -1 : 0;
}

// Ticks the records of one category as the options and `ticking` say; adds
// the outermost ticked records to `ticked`.
void tickCategory(CategoryInformation& category, const std::vector<std::string>& patterns,
                  const CleanTicking& ticking, std::vector<FilePtr>* ticked) {
  std::set<const FileInformation*> before;
  if (ticking.preTicked) {
    forEachRecord(category.childrens, [&before](const FileInformation& r) {
      if (r.childrens.empty() && r.state == 1) before.insert(&r);
    });
  }
  const bool wholeCategory = ticking.selectCategories && matchesCategory(category, patterns);
  size_t tickedHere = 0;
  bool any = false;
  for (const FilePtr& record : category.childrens) {
    int state = 0;
    if (wholeCategory) {
      setStateBelow(*record, 1);
      state = 1;
    } else {
      state = tick(*record, patterns);
    }
    if (ticking.preTicked) state = intersect(*record, before);
    if (ticking.keepOneOfEachGroup && state == 1) {
      keepOne(*record);
      state = record->state;
    }
    if (state == 1) ++tickedHere;
    if (state != 0) any = true;
  }
  // A category selected whole that lists nothing (a system application
  // without files in the home) is still selected: its command reports it.
  const bool all = category.childrens.empty() ? wholeCategory && !patterns.empty()
                                              : tickedHere == category.childrens.size();
  category.state = all ? 1 : (any ? -1 : 0);
  collectTicked(category.childrens, ticked);
}

// Unticks the top records of `categories` whose path some other top record
// (there or in `others`) lists unticked, and takes them out of `ticked`.
void keepSharedUnlessAllTicked(const std::vector<CategoryPtr>& categories,
                               const std::vector<CategoryPtr>* others,
                               std::vector<FilePtr>* ticked) {
  std::set<std::string> keep;
  for (const auto* list : {&categories, others}) {
    for (size_t i = 0; list != nullptr && i < list->size(); ++i) {
      if (!(*list)[i]) continue;
      for (const FilePtr& r : (*list)[i]->childrens) {
        if (r->state != 1) keep.insert(r->fileUrl().path());
      }
    }
  }
  for (const CategoryPtr& category : categories) {
    if (!category) continue;
    size_t left = 0;
    for (const FilePtr& r : category->childrens) {
      if (r->state == 1 && keep.count(r->fileUrl().path()) != 0) setStateBelow(*r, 0);
      if (r->state != 0) ++left;
    }
    if (category->state == 1 && left < category->childrens.size()) category->state = left ? -1 : 0;
  }
  std::erase_if(*ticked, [&](const FilePtr& r) { return r->state != 1; });
}

int64_t bytesLeft(const FeatureInformation& feature) {
  int64_t left = 0;
  for (const CategoryPtr& category : feature.categoryInfo) left += category->size;
  return left;
}

void printDocument(const FeatureInformation& feature, const json& clean,
                   const CleanDocument& document) {
  if (document) {
    document(clean);
  } else {
    printFeatureJson(feature, {{"total", bytesLeft(feature)}, {"clean", clean}});
  }
}

}  // namespace

bool cleanSelectionGiven(const CommonOptions& options, const CleanTicking& ticking) {
  if (options.clean.enabled && ticking.requireSelect && options.clean.select.empty()) {
    printError("--clean needs --select GLOB here: say which records to delete");
    return false;
  }
  return true;
}

int noCleanAfterInterrupt() {
  printError("interrupted: nothing was deleted");
  return 130;
}

int cleanFeature(const CommonOptions& options, const FeaturePtr& feature, CleanServiceType type,
                 std::vector<CategoryPtr> categories, CleanTicking ticking,
                 const CleanDocument& document) {
  if (!cleanSelectionGiven(options, ticking)) return 2;
  if (categories.empty()) categories = feature->categoryInfo;
  std::vector<FilePtr> ticked;
  for (const CategoryPtr& category : categories) {
    if (category) tickCategory(*category, options.clean.select, ticking, &ticked);
  }
  if (ticking.sharedNeedsAll) keepSharedUnlessAllTicked(categories, ticking.alsoListedBy, &ticked);
  int64_t tickedBytes = 0;
  // What the removal gives back, not the items' apparent sizes.
  for (const FilePtr& record : ticked) tickedBytes += record->freedSize();

  if (ticked.empty()) {
    if (options.json) {
      printDocument(*feature,
                    json{{"freed", 0}, {"status", 1}, {"error", ""}, {"records", json::array()}},
                    document);
    } else {
      fmt::print("Nothing to clean.\n");
    }
    return 0;
  }
  // The listing the command printed must have reached its reader before
  // anything goes: a failed write stops here (OutputError), not after.
  flushOutput();
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

  int64_t settledBytes = 0;  // what the command removed itself
  if (ticking.beforeClean) {
    ticking.beforeClean(ticked);
    for (const FilePtr& record : ticked) {
      if (record->state == 0 && record->deleteStatus == raw(DeleteStatus::DeleteSuccess))
        settledBytes += record->freedSize();
    }
  }
  auto finish = std::make_shared<WaitingFinish>();
  startClean(categories, feature, type, finish);
  finish->wait();
  const bool moved = CleanService::movesItems(type);

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
      records.push_back(json{{"path", record->fileUrl().path()},
                             {"size", record->size},
                             {"allocatedSize", record->allocatedSize()},
                             {"deleteStatus", record->deleteStatus},
                             {"deleteErrorDesc", record->deleteErrorDesc.str()}});
    } else if (removed) {
      // A record the command settled itself (state 0) was not moved.
      const bool itemMoved = moved && record->state != 0;
      fmt::print("{}  {:>10}  {}\n", itemMoved ? "moved  " : "removed", humanSize(record->size),
                 record->fileUrl().path());
    } else {
      fmt::print("failed   {:>10}  {}: {}\n", humanSize(record->size), record->fileUrl().path(),
                 record->deleteErrorDesc.str());
    }
  }
  if (options.json) {
    printDocument(*feature,
                  json{{"freed", finish->size() + settledBytes},
                       {"status", finish->status()},
                       {"error", finish->desc()},
                       {"movedToTrash", moved ? finish->size() : 0},
                       {"records", std::move(records)}},
                  document);
  } else if (moved) {
    fmt::print(
        "moved to the trash: {} \u2014 `orvexa undo` puts it back, `orvexa history --purge` "
        "frees the space\n",
        humanSize(finish->size()));
  } else {
    fmt::print("Freed: {} ({} bytes)\n", humanSize(finish->size()), finish->size());
  }
  if (failedForHelper > 0 && finish->status() != raw(HelperEventErrorID::Success)) {
    printError(fmt::format(
        // The helper's own text says why (not installed, refused, ...).
        "{} item{} need{} root rights, but the privileged helper could not be used: {}",
        failedForHelper, failedForHelper == 1 ? "" : "s", failedForHelper == 1 ? "s" : "",
        finish->desc()));
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace orvexa::cli
