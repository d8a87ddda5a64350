// One running disk analysis: the walk that builds the tree, its merge on the
// host's queue, and its finishing step. Internal to the disk analysis.
//
// How the work is shared: the root is listed by one piece of the global
// pool; every top-level folder then becomes a task. At most kWalkers pieces
// walk tasks at a time, each depth-first through its own chain of folder
// descriptors (no recursion, no PATH_MAX limit). When a walker sees that a
// piece could start and no task is waiting, it hands the not yet visited
// sub-folders of its shallowest unfinished folder out as new tasks of the same
// top-level item. A top-level item is finished when its last task ends: the
// walker that ends it sums the folder sizes and numbers the folders of that
// subtree (files are numbered when listed), then hands the item to the
// host's queue, in batches.
//
// Ownership: the walk is shared by its pool pieces and queue pieces; the
// tree belongs to the walk until the finishing step appends it to the
// feature. A stopped walk takes its partial tree apart without recursion.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "orvexa/scan/disk_analysis/disk_analysis_service.h"

namespace orvexa::disk_analysis {

class Walker;
struct TopLevel;
struct Task;

class TreeWalk : public std::enable_shared_from_this<TreeWalk> {
 public:
  struct Callbacks {
    DiskAnalysisService::DiskProgress progress;
    DiskAnalysisService::DiskShowPercent showPercent;
    DiskAnalysisService::DiskSingleDone singleDone;
    DiskAnalysisService::DiskDone done;
  };

  TreeWalk(FeaturePtr feature, const std::string& path, Callbacks callbacks,
           std::shared_ptr<SerialGCDService> queue);
  ~TreeWalk();
  TreeWalk(const TreeWalk&) = delete;
  TreeWalk& operator=(const TreeWalk&) = delete;

  // Lists the root on the global pool and starts the walkers.
  void start();
  // Ends every walk at its next item and suppresses the finishing step.
  // True when the scan had not reported yet.
  bool stop();

  // How many pieces of the pool walk at most.
  static size_t walkerCount();

 private:
  friend class Walker;

  bool stopRequested();
  // True the first time a file of several hard links is seen (by device and
  // inode); its other names then count nothing, as they take no space of
  // their own. Any walker.
  bool firstLinkSeen(uint64_t device, uint64_t inode);
  void listRoot();
  void runWalker();
  // Starts `count` walker pieces (already counted in active_).
  void launch(size_t count);
  // Recomputes idleCapacity_; mu_ held.
  void updateIdleLocked();
  bool takeTask(Task* task);
  void pushTasks(std::vector<Task> tasks);
  bool wantsWork() const;
  // Hands finished top-level records to the host's queue.
  void deliver(std::vector<FilePtr> batch);
  void merge(std::vector<FilePtr>& batch);
  void finish();
  void onQueue(std::function<void()> work);
  void releasePartialTree();

  const FeaturePtr feature_;
  const int64_t scanID_;
  const std::string path_;
  const Callbacks callbacks_;
  const std::shared_ptr<SerialGCDService> queue_;
  const Timestamp scanTime_;

  std::atomic<bool> stopped_{false};
  std::atomic<bool> reported_{false};

  // Written by the root listing before any walker starts; read-only after.
  FilePtr root_;
  std::vector<FilePtr> topFolders_;
  std::vector<int> topFolderIndex_;
  size_t topCount_ = 0;

  // The task pool.
  mutable std::mutex mu_;
  std::vector<Task> waiting_;
  size_t cursor_ = 0;  // next entry of topFolders_ to hand out
  std::atomic<size_t> active_{0};
  std::atomic<bool> idleCapacity_{false};  // active_ < walkerCount() and nothing waits

  std::mutex linksMu_;
  std::set<std::pair<uint64_t, uint64_t>> linksSeen_;

  // Touched only on the host's queue.
  size_t merged_ = 0;
};

}  // namespace orvexa::disk_analysis
