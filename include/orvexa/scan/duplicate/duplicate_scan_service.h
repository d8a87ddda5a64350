// DuplicateScanService: files, and folders, whose content is byte-identical
// inside the folders the user chose.
//
// Pipeline: one walk of the chosen folders records every regular file above
// the minimum size and a summary of every folder; files are grouped by exact
// size; only sizes that occur more than once are read, in each disk's order;
// candidates are split by a cheap test of their first and last 4 KiB, then
// by a 128-bit XXH3 digest of their whole content, and every group is
// confirmed byte for byte before it is reported (unless all its digests
// came from the digest cache, see useDigestCache), so two files with
// different content never share a group, not even when their digests
// collide. A set of exactly two candidates skips the digest: comparing the
// two files byte for byte both groups and confirms
// them while reading each file once. Folders are matched on the
// concatenated digests of the files below them (getMD5FromFolderPath) and
// confirmed file by file the same way.
//
// What takes part:
// - Regular files only. Symbolic links are never followed (a link counts
//   with its own size in its folder's totals but is never compared), nor are
//   devices, sockets or pipes.
// - Hard links to one inode count as one file, not as duplicates of each
//   other: of the paths of one inode only the one that sorts first
//   (byte-wise) is compared and reported. Removing a hard link frees
//   nothing, and removing "all but one" of a set of links would leave the
//   data in place while looking like a deletion of duplicates.
// - A file counts only when its size is strictly greater than limitSize KiB
//   (default 512 KiB: 524,288 bytes is ignored, 524,289 considered).
// - Never walked: the "Library" folder of every user (the entries of the
//   paths table's users folder, and the current user's own Library; under
//   the Linux layout the home's hidden application folders, .cache,
//   .config, .local, .var, .mozilla and the like), bundles
//   and packages (folders whose content type is not "public.folder"; they
//   count as one file of size 0), and folders whose path contains "/Cache".
// - Scan paths: a path of three components or fewer as the system sees it
//   (below the paths table's root: "/", "/Users", a home folder) is replaced
//   by its entries (hidden ones left out), each then treated as an entry of
//   a walked folder; a deeper path is walked as given.
//
// Where results go. The duplicates feature of the catalogue holds its views
// as categories numbered by finderID:
//   finderID 0           "All Duplicates": every group, file and folder groups
//   finderID kind + 1    the groups of DuplicateKind `kind`, that is finderID
//                        1 File, 2 Folder, 3 Document, 4 Media, 5 Picture,
//                        6 Other, 7 Archive
// A group is a FileInformation (kind FilesKind::File, empty title and URL,
// the current date, attachInformation its key as a std::string) whose
// `childrens` are its members, numbered 0, 1, ... in path order; each
// member's parentFileInfo is the group and its size the file's (a folder's:
// everything below it); the group's size is their sum. Each view lists its
// groups largest member first. A file group is filed under every kind
// sortFile gives for its first member, a folder group under Folder only; the
// files of copied folders are also reported as file groups, so the
// all-duplicates size counts them twice. A category missing from the
// catalogue is simply not filled.
//
// Log lines (level Info):
//   "Start Duplicate FeatureInfo:<finderID>"
//   "DuplicateScanService Scanning"   a second start while one runs; nothing
//                                     else happens
//   "DuplicateScanService Start"
//   "DuplicateScanService Finish-0"   no scan path names anything to walk
//   "DuplicateScanService Finish"
//   "DuplicateScanService stopDuplicate Supend"
//
// Stopping: SuperScanService::stop sets the feature and
// SwiftFileHashUnit::shard().scanState to `suspend`; the walk ends, every
// pending read gives nothing, no group is filed, and `done` still comes once
// with the feature in state `end`.
//
// Threading: scanDuplicate returns at once. Walks and reads run on the
// global pool (reads on at most as many workers as the pool has cores, each
// with one buffer of its own); every change to the working tables and to the
// feature's categories, and the singleDone and done calls, run on `dispatch`.
// The host must not touch the feature's categories until `done`.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/units/dispatch.h"
#include "orvexa/units/percent_service.h"

namespace orvexa {

// One walked file or folder.
struct DuplicateInfo {
  int64_t fileNumSum = 0;     // 1 for a file; for a folder the files below it
  int64_t fileSize = 0;       // bytes; for a folder the sum of what is below it
  int64_t allocatedSize = 0;  // blocks on disk, in bytes; for a folder the sum below it
  Url path;
  bool fileOrPath = true;      // true for a file, false for a folder
  std::set<int64_t> sizeList;  // folders: the sizes of the files below them
  // The file's identity (device, inode); hard links share it. 0 for folders.
  uint64_t device = 0;
  uint64_t inode = 0;
  // Files: modification and change times in nanoseconds (the digest cache's key).
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
};

// The content key of a folder (see getMD5FromFolderPath).
struct FolderContentKey {
  std::string key;         // the files' digests, concatenated in walk order
  std::vector<Url> files;  // every regular file below the folder, in walk order
  int64_t size = 0;        // their total size
  std::set<Url> hashed;    // the files whose digest could be computed
};

class DuplicateScanService : public SuperScanService {
 public:
  // The kinds a duplicate group is filed under (the service's own; the
  // host-facing views are orvexa::DuplicateKind).
  enum class DuplicateKind : int {
    File = 0,
    Folder = 1,
    Document = 2,
    Media = 3,
    Picture = 4,
    Other = 5,
    Archive = 6
  };

  using Progress = std::function<void(const std::string& path, int64_t size)>;
  using ShowPercent = std::function<void(float)>;
  // The category's position in the feature's categoryInfo and its size,
  // once per category after the groups are filed.
  using SingleDone = std::function<void(int, int64_t)>;
  // The feature and the size of its all-duplicates category.
  using Done = std::function<void(const FeaturePtr&, int64_t)>;

  // Working tables of one scan: size -> records, digest text -> records.
  using SizeTable = std::map<int64_t, std::vector<DuplicateInfo>>;
  using DigestTable = std::map<std::string, std::vector<DuplicateInfo>>;

  // The minimum size in KiB: a file takes part only when it is strictly
  // larger than limitSize * 1024 bytes. Read when a scan starts.
  static inline std::atomic<int64_t> limitSize{512};

  // Whether scans keep the files' digests in the user's cache folder (keyed
  // by device, inode, size and the modification and change times), so that
  // an unchanged file is not read again; off unless the host turns it on.
  // Groups from cached digests are reported without a byte-for-byte
  // confirmation: removal compares the bytes before it acts. Read when a
  // scan starts.
  static inline std::atomic<bool> useDigestCache{false};

  // Logs "Start Duplicate FeatureInfo:<finderID>" and runs scanProDuplicate.
  static void scanDuplicate(const FeaturePtr& featureInfo, const std::vector<Url>& scanPaths,
                            Progress progress, ShowPercent showPercent, SingleDone singleDone,
                            Done done, const std::shared_ptr<SerialGCDService>& dispatch,
                            DispatchQoS qosClass = DispatchQoS::default_);
  static void scanProDuplicate(const FeaturePtr& featureInfo, const std::vector<Url>& scanPaths,
                               Progress progress, ShowPercent showPercent, SingleDone singleDone,
                               Done done, const std::shared_ptr<SerialGCDService>& dispatch,
                               DispatchQoS qosClass = DispatchQoS::default_);

  // The reading stage: keeps the sizes that occur more than once, reads and
  // compares as described above, advances the progress one step and hands
  // the groups to organizeDataForDuplicate. Returns at once.
  static void analysisDataForDuplicate(SizeTable preSizeAndFilePath, SizeTable sizeAndFolderPath,
                                       const FeaturePtr& featureInfo, Progress progress,
                                       ShowPercent showPercent, SingleDone singleDone, Done done,
                                       const std::shared_ptr<SerialGCDService>& dispatch,
                                       std::shared_ptr<PercentService> percentService,
                                       DispatchQoS qosClass = DispatchQoS::default_);

  // The record-building stage, on `dispatch`: empties the feature's views,
  // files one group record per entry of each table (keys: the confirmed
  // group's digest text; a pair that was only compared has "=" and its
  // first path), advances the progress twice, stops it, logs
  // "DuplicateScanService Finish", sets the feature `end`, calls singleDone
  // per view and `done` once. Nothing is filed once the feature is
  // suspended. Returns at once.
  static void organizeDataForDuplicate(DigestTable MD5AndFileInfo, DigestTable MD5AndFolderInfo,
                                       const FeaturePtr& featureInfo, Progress progress,
                                       ShowPercent showPercent, SingleDone singleDone, Done done,
                                       const std::shared_ptr<SerialGCDService>& dispatch,
                                       std::shared_ptr<PercentService> percentService);

  // Logs "DuplicateScanService stopDuplicate Supend", sets the feature's
  // entry to `end` and calls `done` with the feature. It does not interrupt
  // a running scan (SuperScanService::stop does); that scan still calls its
  // own `done` when it ends.
  static void stopDuplicate(const FeaturePtr& featureInfo,
                            const std::function<void(const FeaturePtr&)>& done);

  // The DuplicateKind raw values of a file, ascending: always File, plus
  // Picture, Media, Document and Archive as its content-type tree says, or
  // Other when none of these matched.
  static std::vector<int> sortFile(const FilePtr& file);
  // The same from a content-type tree.
  static std::vector<int> kindsForContentTypeTree(const std::vector<std::string>& tree);

  // The content key of a folder: every regular file below it, in walk order
  // (pre-order, names in byte-wise order, no link followed), digested, and
  // the 32-digit digest texts concatenated. A file that cannot be read adds
  // nothing to the key and is missing from `hashed`. Reading stops (and the
  // key is incomplete) once SwiftFileHashUnit's scanState is `suspend`.
  static FolderContentKey getMD5FromFolderPath(const Url& folderURL);

  // Rebuild after cleaning. Ticked members (state 1) whose deleteStatus is
  // not DeleteSuccess are returned as failures, their deleteErrorDesc each
  // followed by "," in the error text; the other ticked members are removed
  // from their groups and their sizes summed; groups left with fewer than
  // two members are dropped; groups and members are renumbered, and the
  // views of the feature that owns `allCategory` are filled again.
  static std::tuple<int64_t, std::vector<FilePtr>, std::string> sortCategory(
      const CategoryPtr& allCategory);

  // The category of `featureInfo` holding a view: the all-duplicates
  // category for nullopt, else the one of that kind. Null when missing.
  static CategoryPtr viewCategory(const FeaturePtr& featureInfo, std::optional<DuplicateKind> kind);
};

}  // namespace orvexa
