// Helpers of the duplicate scan tests: file content, running a scan to its
// end, and reading the groups it filed.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "orvexa/model/records.h"
#include "orvexa/scan/duplicate/duplicate_scan_service.h"
#include "support/shared_checks.h"
#include "support/signal.h"

namespace orvexa::testing {

// `size` bytes of pseudo-random content; equal seeds give equal bytes.
inline std::string randomBytes(size_t size, uint32_t seed) {
  const std::vector<uint8_t> bytes = noiseBytes(size, seed);
  return std::string(bytes.begin(), bytes.end());
}

// Sets DuplicateScanService::limitSize for a test and restores it.
struct LimitSizeGuard {
  explicit LimitSizeGuard(int64_t kib) { DuplicateScanService::limitSize = kib; }
  ~LimitSizeGuard() { DuplicateScanService::limitSize = saved; }
  const int64_t saved = DuplicateScanService::limitSize.load();
};

using PathGroups = std::set<std::set<std::string>>;

// The member paths of every group filed in `category`.
inline PathGroups groupsIn(const CategoryPtr& category) {
  PathGroups groups;
  if (!category) return groups;
  for (const FilePtr& g : category->childrens) {
    std::set<std::string> paths;
    for (const FilePtr& m : g->childrens) paths.insert(m->url.path());
    groups.insert(paths);
  }
  return groups;
}

struct ScanOutcome {
  ModulePtr module;  // keeps the feature alive
  FeaturePtr feature;
  int doneCalls = 0;
  int64_t total = -1;

  CategoryPtr all() const { return DuplicateScanService::viewCategory(feature, std::nullopt); }
  CategoryPtr view(DuplicateScanService::DuplicateKind kind) const {
    return DuplicateScanService::viewCategory(feature, kind);
  }
  PathGroups groups() const { return groupsIn(all()); }
  PathGroups files() const { return groupsIn(view(DuplicateScanService::DuplicateKind::File)); }
  PathGroups folders() const { return groupsIn(view(DuplicateScanService::DuplicateKind::Folder)); }
};

// The duplicates feature of the built-in catalogue.
inline ScanOutcome duplicateFeature() {
  ScanOutcome outcome;
  std::vector<ModulePtr> modules = ModuleInformation::getDefault();
  outcome.feature = findFeatureByModuleType(modules, "Duplicate");
  EXPECT_NE(outcome.feature, nullptr);
  if (outcome.feature) outcome.module = outcome.feature->moduleInfo.lock();
  return outcome;
}

// Runs a scan of `paths` to its end and counts its `done` calls (after the
// queue has run everything the scan handed it).
inline ScanOutcome runScan(const std::vector<std::string>& paths,
                           DuplicateScanService::Progress progress = nullptr) {
  ScanOutcome outcome = duplicateFeature();
  if (!outcome.feature) return outcome;
  std::vector<Url> urls;
  for (const std::string& p : paths) urls.push_back(Url::fromPath(p));
  auto queue = std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::default_);
  Signal done;
  std::atomic<int64_t> total{-1};
  DuplicateScanService::scanDuplicate(
      outcome.feature, urls, std::move(progress), nullptr, nullptr,
      [&](const FeaturePtr&, int64_t size) {
        total = size;
        done.notify();
      },
      queue);
  EXPECT_TRUE(done.wait(std::chrono::seconds(60)));
  queue->waitUntilIdle();
  outcome.doneCalls = done.count();
  outcome.total = total;
  return outcome;
}

}  // namespace orvexa::testing
