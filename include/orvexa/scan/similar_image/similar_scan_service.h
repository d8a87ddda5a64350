// SimilarScanService: groups of pictures that look alike in the folders the
// user chose.
//
// Pipeline of one scan (scan / scanProAPISimilar):
// 1. Discovery, one pool task per location. With the metadata query tool
//    (Paths::shared().tool("mdfind")) present, two queries per location list
//    Photos library roots and image files; without it (always on Linux), or
//    when the queries find no picture anywhere, the locations are walked
//    (scanProCommon): hidden items and the insides of packages are skipped,
//    except Photos libraries (".photoslibrary" folders), which are libraries
//    themselves. A file is a picture candidate when its lowercased path
//    contains ".jpeg", ".jpg" or ".png"; the content decides the format
//    later. Candidates whose path contains ".photoslibrary/" belong to a
//    library; a library is also known from its pictures' paths.
// 2. Library step, one pool task per library (see photos library below).
// 3. Key map: every ordinary picture is filed under its path without
//    extension (so "a.jpg" and "a.png" in one folder share a key).
// 4. Fingerprints on the pool: one 36-bit difference hash (DHA, 7 x 6
//    thumbnail) per key, from the key's last URL. Pictures that cannot be
//    decoded are left out.
// 5. Grouping (NewLSHSearch) on the scan's serial queue. Pictures whose
//    fingerprint carries almost no information (carriesLittleInformation:
//    flat or smooth pictures, whose bits are nearly all equal, so that a
//    white, a black picture and any gradient share one fingerprint) are kept
//    out of it and grouped only with byte-identical copies of themselves,
//    after everything else (a departure: resemblance alone would group
//    pictures that have nothing in common). The others go through
//    LSHService
//    candidate sets, each confirmed against the node it is stored under
//    (with LSHService's defaults, the node it was built for) by
//    fingerprint distance and thumbnail gray levels;
//    below 100 keys an exhaustive OldBKTreeService pass replaces it; when no
//    group was found, keys holding several files (a library master and its
//    derivatives) become groups, each file other than the one fingerprinted
//    only when its own fingerprint is informative and within the distance
//    limit (a shared name alone groups nothing).
//
// Result: the feature's categories are replaced by one category "All"
// (kind Common) whose children are group records (levelInt 1, empty URL,
// title = a picture path or key name) holding member records (levelInt 2,
// attachInformation = the member's SimilarNode as SimilarNodePtr, check
// state 0: the scan ticks nothing). A group with fewer than two members is
// not kept. done receives the total size of all members of the kept groups
// (also stored as the category's size).
//
// Photos library step, for a library root L: masters are the library's
// pictures under L/Masters/. With L/database/photos.db present and answering
// the probe "select * from RKMaster;", each master's id is looked up by its
// path relative to Masters (RKMaster.imagePath) and its versions' ids by the
// master id (RKVersion.masterId), all values bound as SQL parameters. A
// version id V, written in hexadecimal H (upper case; a lower-case folder of
// that name is taken when only it exists), has its derivatives in
// L/resources/proxies/derivatives/XX/YY/H with XX = (V >> 8) & 0xFF and
// YY = (V >> 16) & 0xFF as two hex digits: "00/00/H" for ids of one or two
// digits. Every picture file there (UNADJUSTEDNONRAW ones included) joins
// the master under the master's key (its path without extension), the
// master last, so it is the one fingerprinted. Without a usable database
// (missing, not a database, no RKMaster table) each master is filed alone;
// the database file is never created. Library pictures outside Masters
// (previews, thumbnails) are not compared on their own.
//
// Stop: SuperScanService::stop(feature) marks the feature `suspend`; the
// next stage that looks takes the stop path (stop(featureInfo, done)):
// "SimilarScanService stopSimilar Supend", state `end`, done(feature, 0).
// Pool tasks still queued then do nothing.
//
// Log lines (level Info): "SimilarScanService Start", "SimilarScanService
// Scanning" (a second start while one runs; nothing else happens),
// "SimilarScanService stopSimilar Supend", "SimilarScanService Finish".
//
// Threading: the scan operations return at once. Discovery, library steps
// and fingerprints run on the global pool at the given quality of service;
// every shared list, map and counter of a scan is touched only on the
// scan's `dispatch` queue, where grouping runs and done is called, once.
// `progress` receives the progress service's fraction (four steps);
// `showPercent` and `singleDone` are accepted for the common scanner
// signature and not called. One similar-image scan runs at a time (the
// tables of LSHService::shard() are shared). The host must not touch the
// feature's categories between the start and done. sortCategory runs on the
// caller's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/tree/similar_node.h"
#include "orvexa/units/dispatch.h"

namespace orvexa {

class SimilarScanService : public SuperScanService {
 public:
  enum class AlgorithmEnum { DHA, AHA, PHA };

  using ProgressFunc = std::function<void(float)>;
  using ShowPercent = std::function<void(float)>;
  using SingleDone = std::function<void(int, int64_t)>;
  using Done = std::function<void(const FeaturePtr&, int64_t)>;
  // Key -> the picture files filed under it (`Dict`).
  using KeyMap = std::map<std::string, std::vector<Url>>;
  // (fingerprint, gray list, mean list).
  using FingerprintLists = std::tuple<std::vector<int>, std::vector<int>, std::vector<int>>;
  // (deleted bytes, members whose deletion failed, their error texts joined).
  using SortResult = std::tuple<int64_t, std::vector<FilePtr>, std::string>;

  // Host settings, 40 by default; nothing in the library reads them.
  static double resizeImgWidth();
  static void setResizeImgWidth(double width);
  static double resizeImgHeight();
  static void setResizeImgHeight(double height);

  // ---- Fingerprints (stateless; any thread) ----

  // DHA: difference hash of the 7 x 6 thumbnail; AHA: average hash of 6 x 6;
  // PHA: cosine-transform hash of 12 x 12 (size 6). Each gives 36 bits, with
  // the thumbnail's gray and mean lists. Nothing when the picture gives no
  // pixels.
  static std::optional<FingerprintLists> getFingerprint(const Url& inputImg,
                                                        AlgorithmEnum algorithmEnum);

  // Coefficients F(u, v) = sum over x < width, y < height of
  // sourceData[x * width + y] * cos((x + 0.5) pi u / width) *
  // cos((y + 0.5) pi v / height), without normalising factors, kept under
  // u * width + v (a later coefficient overwrites an earlier one of the same
  // key; entries past the data's end count as 0). Bit (i, j), i outer, for
  // i, j < fingerprintSize: F(i, j) >= the mean of those F.
  static std::vector<int> PHAAlgorithm(const std::vector<int>& sourceData, int width, int height,
                                       int fingerprintSize);

  // The cosine-transform hash of the picture stretched to row x column, in
  // gray (the thumbnail's gray weights), after a round trip through the
  // file type its extension names ("jpeg"/"jpg": JPEG at quality 75, which
  // alters the levels; "png": lossless). Nothing for any other extension or
  // a picture that cannot be decoded; `why` (when given) then gets the
  // reason and the path. A ".tiff" file is refused with
  // kTiffNotSupportedText, a deliberate departure from reading it: there is
  // no TIFF decoder here (the library reads JPEG and PNG only).
  static constexpr const char* kTiffNotSupportedText =
      "TIFF pictures are not supported (only JPEG and PNG can be decoded)";
  static std::optional<std::vector<int>> getPHashFingerprint(const Url& inputImg, int row,
                                                             int column, int fingerprintSize,
                                                             std::string* why = nullptr);

  // The number the decimal digits of `num` spell in base 2 ("0110" -> 6).
  static int64_t stringBinary2Dec(const std::string& num);

  // ---- The scan ----

  static void scan(const FeaturePtr& featureInfo, const std::vector<Url>& Paths, int thresholdValue,
                   ProgressFunc progress, ShowPercent showPercent, SingleDone singleDone, Done done,
                   const std::shared_ptr<SerialGCDService>& dispatch,
                   DispatchQoS qosClass = DispatchQoS::userInitiated);

  // The driver (see the pipeline above). A scan of the feature that is
  // already running makes it log "SimilarScanService Scanning" and return.
  static void scanProAPISimilar(const std::vector<Url>& Paths, const FeaturePtr& featureInfo,
                                int thresholdValue, ProgressFunc progress, ShowPercent showPercent,
                                SingleDone singleDone, Done done,
                                const std::shared_ptr<SerialGCDService>& dispatch,
                                DispatchQoS qosClass = DispatchQoS::userInitiated);

  using SuperScanService::stop;
  // The stop path: the log line, state `end`, done(feature, 0).
  static void stop(const FeaturePtr& featureInfo, const Done& done);

  // The pipeline with the locations walked instead of queried, into
  // `allCategory` (which must be the feature's "All" category), advancing
  // `percent` (may be null). Does not look at or set the start state.
  static void scanProCommon(const std::vector<Url>& Paths, const FeaturePtr& featureInfo,
                            int thresholdValue, const CategoryPtr& allCategory,
                            ProgressFunc progress, ShowPercent showPercent, SingleDone singleDone,
                            Done done, const std::shared_ptr<SerialGCDService>& dispatch,
                            const std::shared_ptr<PercentService>& percent,
                            DispatchQoS qosClass = DispatchQoS::userInitiated);

  // The grouping stage over fingerprinted nodes; runs on serialQueue (it
  // hops there) and ends the scan: progress step 4, "SimilarScanService
  // Finish", state `end`, done(feature, total). `cutLength` is the band
  // length (6), `tablethreshold` the bands per table key, `valuethreshold`
  // the distance limit for fingerprints and for thumbnail pixels whose gray
  // levels differ by more than 10.
  static void NewLSHSearch(const std::shared_ptr<SerialGCDService>& serialQueue,
                           const FeaturePtr& featureInfo, const CategoryPtr& allCategory,
                           std::vector<SimilarNodePtr> resultSet, KeyMap Dict, int cutLength,
                           int tablethreshold, int valuethreshold, ShowPercent showPercent,
                           Done done, const std::shared_ptr<PercentService>& percent);

  // After a clean: members deleted (DeleteSuccess) leave their groups and
  // count as deleted; members still Deleteing or DeleteError are unticked
  // and reported with their error texts; groups left with fewer than two
  // members go; the rest are renumbered and resized, all unticked.
  static SortResult sortCategory(const CategoryPtr& allCategory);

  // A fingerprint whose minority bits (those that differ from the
  // majority value) are fewer than kInformativeBits carries too little
  // information to say two pictures look alike: 36 zeros (a flat picture, a
  // gradient that brightens) or 36 ones (one that darkens) and anything
  // within four bits of them. The limit is about an eighth of the bits, as 8
  // of 64 for a 64-bit hash.
  static constexpr int kInformativeBits = 5;

  // When set, a copy made uniformly brighter or darker still counts as
  // alike; off by default. Read once by each grouping stage, which then
  // (a departure from the plain pipeline, in this mode only):
  // - compares thumbnail gray levels after taking out each thumbnail's mean
  //   level (grayDistance with ignoreMean);
  // - measures fingerprints with brightnessFreeDistance instead of the
  //   plain distance;
  // - looks for candidates up to twice the distance limit (table keys of at
  //   most 2 bands; in the small-set pass, tree queries of twice the limit),
  //   each confirmed by both measures above.
  static inline std::atomic<bool> ignoreBrightness{false};

  // The difference-hash distance of two 7 x 6 gray thumbnails that a change
  // of brightness leaves alone: the fingerprint positions whose bits differ,
  // counted only when the two neighbour steps behind the bit (left minus
  // right) differ by more than 2 levels. A brighter copy keeps every step up
  // to the rounding of its gray levels; its bits still flip where two
  // neighbours were nearly level, and those flips are not counted.
  static int brightnessFreeDistance(const std::vector<int>& a, const std::vector<int>& b);

  // Thumbnail pixels whose gray levels differ by more than `tolerance`, with
  // each thumbnail's mean level taken out first when `ignoreMean`.
  static int grayDistance(const std::vector<int>& a, const std::vector<int>& b, int tolerance,
                          bool ignoreMean);
  static bool carriesLittleInformation(const std::vector<int>& fingerprint);

  // The table key width for a distance limit: 3 bands up to 5, 2 above.
  static int tableThresholdFor(int thresholdValue) { return thresholdValue > 5 ? 2 : 3; }

  // Test seam: called on the pool thread with each picture's URL just before
  // its fingerprint is computed (null: nothing).
  static void setFingerprintHookForTesting(std::function<void(const Url&)> hook);

 private:
  static std::vector<int> DHAAlgorithm(const std::vector<int>& data, int skipValue);
  static std::vector<int> AHAAlgorithm(int arrayLength, const std::vector<int>& data);
};

}  // namespace orvexa
