// LargeAndOldFileService: the big files of the current user's home, each
// filed three times into the twelve sub-categories of the feature's
// all-files category: by type, by age of last modification and by size. The
// host shows the sub-categories as alternative views of the same records.
//
// The category tree comes from the catalogue: the feature's first category
// is the all-files category and its childrenCateogry holds exactly twelve
// categories in LargeAndFileKind order. A feature without them is malformed:
// the scan then files nothing, logs "LargeAndOldScanService Catalogue Error:
// ..." and still finishes normally (state `end`, done with total 0).
//
// Two ways to find the files:
// - The metadata query tool (Paths::shared().tool("mdfind")), when that file
//   exists, asked for the files of the home larger than kSearchSize. The
//   tool does the size filtering; its lines are taken as they come, except
//   that lines outside the home folder (Paths::shared().userHome(), matched
//   at a folder boundary) are ignored. Output that is not valid UTF-8 yields
//   an empty result. Once the query runs, the scan ignores stop requests.
// - Otherwise (always on Linux) a walk of the home that skips hidden items
//   and the insides of packages and records every regular file it meets,
//   whatever its size; under the paths table's Linux layout, where this walk
//   is the way files are found, it answers the query itself and records only
//   files larger than kSearchSize. The walk looks at the feature's scan state before
//   every item and ends early once it is `suspend` ("LargeAndOldScanService
//   Suspend"); done still comes, once, with what was filed.
//
// Memory: the walk keeps one record per regular file of the home; that is
// what the views are made of. It keeps nothing else per file: records are
// built from the directory enumerator's values as the walk goes (no list of
// the home is collected first), only names, sizes and dates are read, and
// type values are worked out once per extension (only a file without an
// extension is opened, to read its first bytes). A record costs about
// 0.5 KB plus twice its path (the URL and the record's identity text) and
// four pointers in the views: a home of a million files needs roughly
// 0.7 GB while its result is held. The values of files listed but not yet
// filed wait in batches on the queue (about 0.3 KB plus the path each, only
// while the filing lags behind the walk, and freed as they are filed). The
// query's output is parsed in place, without copying it into a list of
// lines.
//
// Log lines (level Info): "LargeAndOldScanService Start", "...Scanning" (a
// second start while one runs; nothing else happens), "...Code = 2" (no
// query tool: the walk is used), "...Suspend", "...Finish".
//
// Threading: the scan operations return at once. The query runs on the
// global pool and its output is filed on the caller's `dispatch` queue. The
// walk runs on the global pool and hands what it lists, in batches, to
// `dispatch`, where the records are made and filed in walk order (a null
// `dispatch` means a queue of the scan's own). `progress` is called once per
// record filed, on `dispatch`; `showPercent` comes from the progress service
// (three steps); `done` runs on the main queue, once. The scan holds
// `dispatch` until its last piece has run.
// `singleDone` is accepted for the common scanner signature and not called:
// the result is one piece. The records of the tree are not locked: the host
// must not touch the feature's categories between the start and `done`.
// sortTypeFile, addToChildrenCategory and sortCategory run on the caller's
// thread and change the records in place.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "orvexa/scan/engine/super_scan_service.h"

namespace orvexa {

// The position of a sub-category in the all-files category's
// childrenCateogry, and the bucket it stands for.
enum class LargeAndFileKind : int {
  Archives = 0,  // type: a content-type entry contains "archive"
  Picture = 1,   // "image"
  Movies = 2,    // "movie"
  Music = 3,     // "audio"
  Other = 4,     // no entry matched, or no type known
  OneYear = 5,   // modified before now - 365 days
  OneMonth = 6,  // before now - 30 days
  OneWeek = 7,   // before now - 7 days
  LastWeek = 8,  // within the last 7 days
  Huge = 9,      // size >= HugeSize
  Average = 10,  // AverageSize <= size < HugeSize
  Small = 11,    // size < AverageSize
};

class LargeAndOldFileService : public SuperScanService {
 public:
  using SingleDone = std::function<void(int, int64_t)>;
  // The feature and the all-files category's total size.
  using Done = std::function<void(const FeaturePtr&, int64_t)>;
  // (deleted bytes, ticked records whose deletion failed, their error texts
  // each followed by ",").
  using SortResult = std::tuple<int64_t, std::vector<FilePtr>, std::string>;

  static constexpr int64_t HugeSize = 500LL * 1024 * 1024;     // 524,288,000
  static constexpr int64_t AverageSize = 100LL * 1024 * 1024;  // 104,857,600
  // The query finds files strictly larger than this.
  static constexpr int64_t kSearchSize = 50LL * 1024 * 1024;  // 52,428,800
  static constexpr std::chrono::seconds kOneYearInterval{31'536'000};
  static constexpr std::chrono::seconds kOneMonthInterval{2'592'000};
  static constexpr std::chrono::seconds kOneWeekInterval{604'800};
  static constexpr size_t kSubCategoryCount = 12;

  // The entry point: runs scanProLargeAndOldFileFast.
  static void scanLargeAndOldFile(const FeaturePtr& featureInfo, Progress progress,
                                  ShowPercent showPercent, SingleDone singleDone, Done done,
                                  const std::shared_ptr<SerialGCDService>& dispatch);

  // Refuses a second start, starts the progress (three steps, one done at
  // once), and on the global pool either runs the metadata query or, when
  // the query tool is missing, scanProLargeAndOldFileCommon.
  static void scanProLargeAndOldFileFast(const FeaturePtr& featureInfo, Progress progress,
                                         ShowPercent showPercent, SingleDone singleDone, Done done,
                                         const std::shared_ptr<SerialGCDService>& dispatch);

  // The walk of the home, on the calling thread, filing on `dispatch`;
  // advances `percentService` (may be null) by two steps and ends with `done`
  // on the main queue. Does not look at or set the start state:
  // scanProLargeAndOldFileFast does.
  static void scanProLargeAndOldFileCommon(const FeaturePtr& featureInfo, Progress progress,
                                           ShowPercent showPercent, SingleDone singleDone,
                                           Done done,
                                           const std::shared_ptr<SerialGCDService>& dispatch,
                                           const std::shared_ptr<PercentService>& percentService);

  // The type bucket (Archives..Other) of a file, from the content-type tree
  // of the item at its URL; Other when nothing is there.
  static int sortTypeFile(const FilePtr& file);
  // The bucket of a content-type tree: the first entry that contains (in
  // lower case) "image", "movie", "audio" or "archive" decides, checked in
  // that order within an entry. Departing from that rule, the disk-image
  // types "public.iso-image" and "public.disk-image" are archives: an .iso
  // holds files, not a picture.
  static int sortTypeTree(const std::vector<std::string>& contentTypeTree);

  // Files one record into its type, age and size sub-categories (appends it
  // and adds its size). Does nothing when the category is malformed.
  static void addToChildrenCategory(const CategoryPtr& allCategory, const FilePtr& file,
                                    Timestamp yearTime, Timestamp monthTime, Timestamp weekTime);

  // The rebuild after a clean: takes the ticked records that were deleted
  // out of the all-files category, renumbers the rest, and files them again
  // into empty sub-categories with age limits from now.
  static SortResult sortCategory(const CategoryPtr& allCategory);

  // The all-files category of a feature, or null when the feature lacks it
  // or its twelve sub-categories.
  static CategoryPtr allFilesCategory(const FeaturePtr& featureInfo);
};

}  // namespace orvexa
