// SuperScanService: the base of every scanner. It has no instance state; all
// of it is class-level: the table of running scans (scanStatus), the shared
// defaults, and the operations that turn folders into FileInformation
// records with sizes.
//
// A walk looks at the scanStatus entry of its scan identifier before every
// item; once stop() has set it to `suspend` the walk ignores every further
// item and still calls its `done` exactly once.
//
// Sizes are logical sizes. As on the system the engine was made for, folders
// have no size of their own: a folder's size is the sum of the logical sizes
// of the files (and links) below it, so an empty folder has size 0. (`du
// --apparent-size` also counts each directory's own entry table, 4096 bytes
// a directory on most file systems; that is the only difference.) Symbolic
// links are recorded as links, with their own size, and never followed.
//
// Thread-safety: every operation may be called from any thread. Walks run on
// the global pool; the results of several walks are merged on the caller's
// SerialGCDService only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "orvexa/model/records.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/resource_values.h"
#include "orvexa/units/percent_service.h"
#include "orvexa/units/scan_status.h"
#include "orvexa/units/serial_queue.h"

namespace orvexa {

// The resource values a walk asks for. Only whether the type values are
// wanted changes what is read (see resource_values.h); the rest is always
// fetched.
enum class ResourceKey {
  path,
  localizedName,
  fileSize,
  effectiveIcon,
  isDirectory,
  isPackage,
  isRegularFile,
  isHidden,
  creationDate,
  contentModificationDate,
  localizedTypeDescription,
};
using ResourceKeys = std::set<ResourceKey>;

class SuperScanService {
 public:
  using ScanState = orvexa::ScanState;

  // (URL, error text) -> true to go on walking.
  using ErrorHandle = std::function<bool(const Url&, const std::string&)>;
  // (values of one item, the enumerator or null) -> true to record the item.
  // The filter may tell the enumerator to skip the item's descendants.
  using FilterFunc = std::function<bool(const ResourceValues&, DirectoryEnumerator*)>;
  using Progress = std::function<void(const std::string&, int64_t)>;
  using ShowPercent = std::function<void(float)>;
  using ListDone = std::function<void(const ScanFilesInformation&, std::vector<FilePtr>)>;
  using ListsDone =
      std::function<void(std::map<Url, std::vector<FilePtr>>, std::map<Url, ScanFilesInformation>)>;

  // The scan-status table (a feature's finderID -> ScanState raw value).
  static std::optional<int> scanStatus(int64_t key);
  static void setScanStatus(int64_t key, ScanState state);
  static bool isSuspended(int64_t key);

  // The progress service of the scan that set it last.
  static std::shared_ptr<PercentService> percent();
  static void setPercent(std::shared_ptr<PercentService> percent);
  // Drops `percent` when it is still the current one (a scan that ends lets
  // go of its progress service, so a later stop cannot report to a host that
  // has moved on).
  static void clearPercent(const std::shared_ptr<PercentService>& percent);

  static Image defaultImage();  // the named image "App_Cache", else empty
  static inline const std::string defaultTitle;
  static Url defaultURL() { return Url(); }
  static constexpr int64_t defaultSize = 0;
  static constexpr int64_t defaultSearchKeySize = 0;
  // Working folder of scanners: the user's Documents folder.
  static Url supportFolder();

  // Logs "Stop Scan FeatureInfo:<finderID>"; unless the feature is already
  // suspended, stops and drops `percent`, marks the feature `suspend`, and for
  // finderID 7 (duplicates) also stops a running content hash (the hasher
  // has its own cancel flag, SwiftFileHashUnit::scanState).
  static void stop(const FeaturePtr& featureInfo);

  // Walks one folder (or makes one record of a file) on the calling thread
  // and calls `done` once.
  static void getListFromUrl(const FeaturePtr& featureInfo, const Url& url, int state,
                             const ResourceKeys& propertiesForKey, EnumerationOptions enumOptions,
                             int64_t scanID, const ErrorHandle& errorHandle,
                             const FilterFunc& filterFunc, const Progress& progress,
                             const ListDone& done, const CategoryPtr& categoryInfo,
                             bool isContainZeroItem);

  // Walks every URL on the global pool and merges on `dispatchQueue`;
  // showPercent gets finished URLs / all URLs, `done` the two dictionaries
  // once (also for an empty URL list). Returns at once.
  static void getListFromUrls(const FeaturePtr& featureInfo, const std::vector<Url>& urls,
                              int state, const ResourceKeys& propertiesForKey,
                              EnumerationOptions enumOptions, int64_t scanID, Progress progress,
                              ShowPercent showPercent, FilterFunc filterFunc, ListsDone done,
                              const std::shared_ptr<SerialGCDService>& dispatchQueue,
                              const CategoryPtr& categoryInfo, bool isContainZeroItem);

  // The record factory: one record for the item at `url`, numbered as the
  // next child of `categoryInfo`; null when its values cannot be read.
  static FilePtr getFileInformationFromUrl(const Url& url, const ResourceKeys& propertiesForKey,
                                           const CategoryPtr& categoryInfo,
                                           std::optional<int64_t> inputSize = std::nullopt);
  static FilePtr getFileInformationFromUrl(const Url& url, const ResourceKeys& propertiesForKey,
                                           std::optional<int64_t> inputSize = std::nullopt);
  // The same from values already read (walks).
  static FilePtr makeFileInformation(const ResourceValues& values, int state, int finderID,
                                     const CategoryPtr& categoryInfo, int64_t size);

  static int64_t calculateSize(const Url& url, FilesKind kind);
  // As calculateSize, stopping (with what it has) once `finderID` is suspended.
  static int64_t appCalculateSize(const Url& url, FilesKind kind, int64_t finderID);
  // The size the metadata index gives ("kMDItemFSSize" before
  // "kMDItemPhysicalSize"), 0 when it gives none; without the mdls tool the
  // bundle is sized by walking it.
  static int64_t getPackageSizeFromTerminal(const Url& url);
  // The size field of mdls output, as getPackageSizeFromTerminal reads it.
  static int64_t packageSizeFromMdlsOutput(const std::string& output);

  // Path text of a URL: "file://" removed, "%20" made a blank, percent
  // encoding removed; empty when that fails.
  static std::string handleURLToString(const Url& url);
  static std::string handleStringTo(const std::string& url);
  // Every whole match of `pattern` (PCRE2 syntax, UTF-8) in `str`, in order,
  // case-sensitively; a pattern that does not compile gives none. A search
  // past its step budget ends the list there (units/regular_expression.h).
  static std::vector<std::string> regexGetSub(const std::string& pattern, const std::string& str);
  static std::vector<CategoryPtr> largeAndOldFileFilterAll(const CategoryPtr& category);

  // FilesKind of an item from its values.
  static FilesKind kindOf(const ResourceValues& values);

  SuperScanService() = delete;
};

}  // namespace orvexa
