// DiskAnalysisService: where the space under one folder went. It builds the
// complete tree of the folder's content as FileInformation records, every
// folder carrying the summed size of everything below it, and hands the tree
// to the host as one category of the feature; after a clean, sortCategory
// takes the deleted records out again.
//
// The tree:
// - Root: the scanned folder; title = its last path component, empty icon,
//   date = the time of the scan, empty description, fileKind Folder,
//   finderID 0, parentFinderID = the category's finderID, levelInt 0,
//   parentCategoryInfo = the category.
// - Folder records (packages included: they are walked as folders): the same
//   shape, childrens = their content, size = the sum of the files below.
// - File records (everything that is not a folder: regular files, symbolic
//   links with their own size, never followed, and special files): title =
//   the name, size = the logical size, date = the creation date, fileKind
//   File. Items whose type or size cannot be read are left out; a folder that
//   cannot be listed stays an empty folder record of size 0, its
//   scanErrorDesc saying why ("not read: Permission denied"; not the scan's
//   root, whose record the host owns).
// - Sizes are logical sizes; folders have no size of their own (a tree of
//   empty folders has size 0), as in the rest of the scan engine.
// - Every record: state 0, finderID = its index among its parent's childrens,
//   parentFinderID = the parent's finderID, levelInt = the parent's + 1,
//   parentFileInfo = the parent. The childrens of every record, the root's
//   included, are in byte-wise name order.
// - Records below the root keep their names, not their paths (a tree of a
//   million files would otherwise hold a million paths): they are located
//   by their parents (FileInformation::locatedByParent), their `url` is
//   empty and fileUrl() builds it from the titles up to the root; their
//   identity text (hashValueString) follows their current values. The clean
//   service and sortCategory give the records they take out their paths for
//   good (FileInformation::settleUrls).
// - canDelete: whether the current user may remove the item
//   (isDeletableFileAtPath), for files and folders alike.
// - Category: "All", empty icon, size = the root's size, empty description,
//   kind AnalysisDisk (13), no URLs, childrens = [root], finderID = its
//   position in the feature's categoryInfo; appended to the feature.
//
// Callbacks of a scan, all on `dispatch` (one at a time): per finished
// top-level item progress(path, size), singleDone(its finderID, size) and
// showPercent(finished top-level items / all top-level items); done(feature,
// root size) once, after the category was appended and the feature set to
// `end`. A folder without content finishes at once with an empty root.
//
// Log lines (level Info): "scanDiskAnalysisService Scanning" (a second start
// while one runs; nothing else happens) and "DiskAnalysisService
// stopDiskAnalysis Supend" (stopDsik).
//
// Stopping: stopDsik ends every walk of the running scan at its next item,
// suppresses the category and the scan's own done, sets the feature `end`
// and calls its own `done` with 0. SuperScanService::stop (state `suspend`)
// also ends the walks and suppresses the category and done; the host then
// reports through stopDsik.
//
// Resources: the walk runs on a handful of pieces of the global pool (not
// one per folder); they share out sub-folders while others are idle. Every
// pass over the tree (walking, summing, numbering, sortCategory, the reports
// in disk_tree_report.h, releaseTree) uses explicit stacks, so trees of any
// depth work, and paths longer than PATH_MAX are walked relative to folder
// descriptors.
//
// Freeing: records own their children through std::shared_ptr, so dropping
// the last reference to a very deep tree (thousands of levels) recurses in
// the destructors. Hand such trees to releaseTree (or releaseCategory)
// instead of dropping them.
//
// Thread-safety: every operation may be called from any thread. The tree
// belongs to the feature once appended; sortCategory, the reports and
// releaseTree must not run concurrently with other users of the same tree.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "orvexa/scan/engine/super_scan_service.h"

namespace orvexa {

class DiskAnalysisService : public SuperScanService {
 public:
  using DiskProgress = std::function<void(const std::string& path, int64_t size)>;
  using DiskShowPercent = std::function<void(float)>;
  // The finderID of a finished top-level item and its size.
  using DiskSingleDone = std::function<void(int, int64_t)>;
  // The feature and the root's size (0 from stopDsik).
  using DiskDone = std::function<void(const FeaturePtr&, int64_t)>;
  // Removed bytes, the records taken out of the tree, and the errors of
  // folders that could not be removed from disk ("<path>: <reason>," each).
  using SortResult = std::tuple<int64_t, std::vector<FilePtr>, std::string>;

  static constexpr const char* kCategoryTitle = "All";

  // The entry point: starts scanPro and returns at once.
  static void scan(const FeaturePtr& featureInfo, const std::string& Path, DiskProgress progress,
                   DiskShowPercent showPercent, DiskSingleDone singleDone, DiskDone done,
                   const std::shared_ptr<SerialGCDService>& dispatch);
  // Refuses (logging "scanDiskAnalysisService Scanning") when a scan of the
  // feature is running; otherwise marks it `start`, starts the walk on the
  // global pool and returns.
  static void scanPro(const FeaturePtr& featureInfo, const std::string& Path, DiskProgress progress,
                      DiskShowPercent showPercent, DiskSingleDone singleDone, DiskDone done,
                      const std::shared_ptr<SerialGCDService>& dispatch);

  // The stop path: logs "DiskAnalysisService stopDiskAnalysis Supend", stops
  // the running scan of the feature (if any), sets the feature `end` and calls
  // done(featureInfo, 0) on the calling thread.
  static void stopDsik(const FeaturePtr& featureInfo, const DiskDone& done);

  // The tidy-up after a clean, for each root of the category (usually the
  // one of "All"), depth-first:
  // - a ticked record (state 1) is gone when nothing of it remains: without
  //   children, its own deleteStatus is DeleteSuccess; with children, none of
  //   them has another status. A gone record leaves the tree; a folder of it
  //   that still exists on disk is removed when canDelete. Its size counts as
  //   removed and is taken off every ancestor and the category.
  // - a ticked record of which something remains is unticked (state 0) and
  //   stays; its content is tidied the same way, and when that empties it,
  //   it is gone after all.
  // - a mixed record (state -1) has its content tidied; unticked records stay.
  // Returns the removed bytes, the removed records (their own children
  // released) and the removal errors. Identifiers are not renumbered.
  static SortResult sortCategory(const CategoryPtr& category);

  // Drops `record`, taking apart without recursion every record below it
  // that nobody else holds. Records held elsewhere keep their subtrees.
  static void releaseTree(FilePtr record);
  // Empties the category's childrens through releaseTree.
  static void releaseCategory(const CategoryPtr& category);

  DiskAnalysisService() = delete;
};

}  // namespace orvexa
