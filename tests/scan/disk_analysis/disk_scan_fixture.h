// Running a disk analysis to its end in a test, and small tree helpers.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvexa/scan/disk_analysis/disk_analysis_service.h"
#include "support/features.h"
#include "support/signal.h"

namespace orvexa::testing {

struct DiskScan {
  ModulePtr module;  // keeps the feature alive
  FeaturePtr feature;
  std::shared_ptr<SerialGCDService> queue;
  Signal done;
  std::atomic<int> doneCalls{0};
  std::atomic<int64_t> total{-1};
  std::mutex mu;
  std::vector<std::pair<int, int64_t>> singles;  // (position, size) from singleDone
  std::vector<float> percents;

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

  void start(const std::string& path) {
    DiskAnalysisService::scan(
        feature, path, nullptr,
        [this](float f) {
          std::lock_guard lock(mu);
          percents.push_back(f);
        },
        [this](int position, int64_t size) {
          std::lock_guard lock(mu);
          singles.emplace_back(position, size);
        },
        [this](const FeaturePtr&, int64_t size) {
          total = size;
          ++doneCalls;
          done.notify();
        },
        queue);
  }

  // Scans `path` and waits for done. False when it did not come in time.
  bool run(const std::string& path) {
    start(path);
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
inline FilePtr findRecord(const FilePtr& root, const std::string& relative) {
  FilePtr current = root;
  size_t start = 0;
  while (current && start < relative.size()) {
    size_t slash = relative.find('/', start);
    std::string name = relative.substr(start, slash == std::string::npos ? slash : slash - start);
    FilePtr next;
    for (const FilePtr& c : current->childrens) {
      if (c->title == name) next = c;
    }
    current = next;
    start = slash == std::string::npos ? relative.size() : slash + 1;
  }
  return current;
}

// Creates a chain of `depth` folders named `name` below `base`, working
// relative to folder descriptors (the chain's path is far beyond PATH_MAX),
// with a file "f" of `fileSize` bytes in every `fileEvery`-th folder and in
// the deepest. Returns the number of files made, -1 on failure.
inline int makeDeepChain(const std::string& base, int depth, const std::string& name, int fileEvery,
                         size_t fileSize) {
  int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const std::string filler(fileSize, 'x');
  int files = 0;
  for (int level = 1; level <= depth; ++level) {
    if (::mkdirat(fd, name.c_str(), 0755) != 0) {
      ::close(fd);
      return -1;
    }
    int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    if (child < 0) return -1;
    fd = child;
    if (level % fileEvery == 0 || level == depth) {
      int f = ::openat(fd, "f", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (f < 0 ||
          ::write(f, filler.data(), filler.size()) != static_cast<ssize_t>(filler.size())) {
        ::close(fd);
        return -1;
      }
      ::close(f);
      ++files;
    }
  }
  ::close(fd);
  return files;
}

}  // namespace orvexa::testing
