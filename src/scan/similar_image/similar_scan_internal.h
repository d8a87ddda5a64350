// Pieces of the similar-image scan shared by its source files.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvexa/scan/similar_image/similar_scan_service.h"
#include "orvexa/units/queue_or_here.h"

namespace orvexa::similar_image {

inline constexpr std::string_view kStartLine = "SimilarScanService Start";
inline constexpr std::string_view kScanningLine = "SimilarScanService Scanning";
inline constexpr std::string_view kSuspendLine = "SimilarScanService stopSimilar Supend";
inline constexpr std::string_view kFinishLine = "SimilarScanService Finish";

void logInfo(std::string_view text);

// "/a/b.jpg" -> "/a/b"; a name without extension (or only a leading dot)
// is kept.
std::string pathWithoutExtension(std::string_view path);
// The lowercased path contains ".jpeg", ".jpg" or ".png".
bool isPictureCandidate(std::string_view path);
// The path lies inside a Photos library (contains ".photoslibrary/").
bool isLibraryPicture(std::string_view path);
// The library folder a library picture lies in ("/x/L.photoslibrary"), or
// empty.
std::string libraryRootOf(std::string_view path);

// What discovery found at one location.
struct Discovered {
  std::vector<std::string> commonPicture;
  std::vector<std::string> libraryPicture;
  std::vector<std::string> library;
};

// The metadata query's lines: existing items (libraries), and existing
// picture candidates sorted into library and ordinary pictures (lines are
// skipped once `stopped` says so).
void takeLibraryQueryOutput(std::string_view output, Discovered& found);
void takeImageQueryOutput(std::string_view output, const std::function<bool()>& stopped,
                          Discovered& found);

// Walks one location (a folder, or a single file) for picture candidates
// and library folders; ends early once `stopped` says so.
Discovered walkLocation(const std::string& location, const std::function<bool()>& stopped);

// The library step for one library root and the library pictures found in
// it (see the class comment).
SimilarScanService::KeyMap fileLibraryPictures(const std::string& libraryRoot,
                                               const std::vector<std::string>& pictures);

}  // namespace orvexa::similar_image
