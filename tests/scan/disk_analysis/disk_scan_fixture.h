// Running a disk analysis to its end in a test, and small tree helpers.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "orvexa/scan/disk_analysis/disk_analysis_service.h"
#include "support/deep_tree.h"
#include "support/features.h"
#include "support/signal.h"

namespace orvexa::testing {

struct DiskScan {
  ModulePtr module;  // keeps the feature alive
  FeaturePtr feature;
  std::shared_ptr<SerialGCDService> queue;
  Signal done;
  std::atomic<int64_t> total{-1};
  std::mutex mu;
  std::map<int, int64_t> singles;  // size by position, from singleDone
  float lastPercent = -1;

  explicit DiskScan(int featureID)
      : module(makeModule(featureID, {})),
        feature(featureOf(module)),
        queue(std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_)) {
    ScanStatusTable::erase(featureID);
  }
  ~DiskScan() {
    queue->waitUntilIdle();
    for (const CategoryPtr& c : feature->categoryInfo) DiskAnalysisService::releaseCategory(c);
    ScanStatusTable::erase(feature->finderID);
  }

  // Scans `path` and waits for done. False when it did not come in time.
  bool run(const std::string& path) {
    DiskAnalysisService::scan(
        feature, path, nullptr,
        [this](float f) {
          std::lock_guard lock(mu);
          lastPercent = f;
        },
        [this](int position, int64_t size) {
          std::lock_guard lock(mu);
          singles[position] = size;
        },
        [this](const FeaturePtr&, int64_t size) {
          total = size;
          done.notify();
        },
        queue);
    bool finished = done.wait(std::chrono::seconds(60));
    queue->waitUntilIdle();
    return finished;
  }

  CategoryPtr category() const {
    return feature->categoryInfo.empty() ? nullptr : feature->categoryInfo.back();
  }
  FilePtr root() const {
    CategoryPtr c = category();
    return c && !c->childrens.empty() ? c->childrens.front() : nullptr;
  }
};

// The record at `relative` ("a/b/c") below `root`, or null.
inline FilePtr findRecord(FilePtr record, const std::string& relative) {
  std::istringstream names(relative);
  for (std::string name; record && std::getline(names, name, '/');) {
    FilePtr next;
    for (const FilePtr& c : record->childrens) next = c->title == name ? c : next;
    record = next;
  }
  return record;
}

// The records below `root` as text, depth first, one a line: "title size",
// " folder" for a folder, " state N" for a state other than 0, indented two
// spaces a level by each record's own `levelInt`. Without recursion.
inline std::string outline(const FilePtr& root) {
  std::string out;
  std::vector<FilePtr> pending(root->childrens.rbegin(), root->childrens.rend());
  while (!pending.empty()) {
    const FilePtr r = pending.back();
    pending.pop_back();
    out +=
        std::string(2 * static_cast<size_t>(std::max(r->levelInt - root->levelInt - 1, 0)), ' ') +
        r->title + " " + std::to_string(r->size) +
        (r->fileKind == raw(FilesKind::Folder) ? " folder" : "") +
        (r->state ? " state " + std::to_string(r->state) : "") + "\n";
    pending.insert(pending.end(), r->childrens.rbegin(), r->childrens.rend());
  }
  return out;
}

}  // namespace orvexa::testing
