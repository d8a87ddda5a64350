// Finding the pictures of a similar-image scan: the metadata query's output
// and the walk that stands in for it.
#include <algorithm>

#include "orvexa/platform/ascii_case.h"
#include "orvexa/platform/content_type.h"
#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/units/log_service.h"
#include "scan/similar_image/similar_scan_internal.h"

namespace orvexa::similar_image {
namespace {

constexpr std::string_view kLibraryExtension = "photoslibrary";
constexpr std::string_view kLibraryMarker = ".photoslibrary/";

void takePicture(const std::string& path, Discovered& found) {
  if (isLibraryPicture(path)) {
    found.libraryPicture.push_back(path);
  } else {
    found.commonPicture.push_back(path);
  }
}

// Calls `line` for every line of `output` (no copy of the whole text).
template <typename F>
void forEachLine(std::string_view output, F line) {
  while (!output.empty()) {
    const size_t end = output.find('\n');
    line(output.substr(0, end));
    output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
  }
}

}  // namespace

void logInfo(std::string_view text) {
  LogService::shard().log(LogService::LogLevel::Info, std::string(text));
}

std::string pathWithoutExtension(std::string_view path) {
  const size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::string_view extension = pathExtension(name);
  if (extension.empty()) return std::string(path);
  return std::string(path.substr(0, path.size() - extension.size() - 1));
}

bool isPictureCandidate(std::string_view path) {
  const std::string lower = asciiLower(path);
  return lower.find(".jpeg") != std::string::npos || lower.find(".jpg") != std::string::npos ||
         lower.find(".png") != std::string::npos;
}

bool isLibraryPicture(std::string_view path) {
  return path.find(kLibraryMarker) != std::string_view::npos;
}

std::string libraryRootOf(std::string_view path) {
  const size_t at = path.find(kLibraryMarker);
  if (at == std::string_view::npos) return {};
  return std::string(path.substr(0, at + kLibraryMarker.size() - 1));
}

void takeLibraryQueryOutput(std::string_view output, Discovered& found) {
  forEachLine(output, [&](std::string_view line) {
    if (line.empty()) return;
    std::string path(line);
    if (fileExists(path)) found.library.push_back(std::move(path));
  });
}

void takeImageQueryOutput(std::string_view output, const std::function<bool()>& stopped,
                          Discovered& found) {
  forEachLine(output, [&](std::string_view line) {
    if (line.empty() || (stopped && stopped())) return;
    std::string path(line);
    if (!fileExists(path) || !isPictureCandidate(path)) return;
    takePicture(path, found);
  });
}

Discovered walkLocation(const std::string& location, const std::function<bool()>& stopped) {
  Discovered found;
  bool isDirectory = false;
  if (!fileExists(location, &isDirectory)) return found;
  if (!isDirectory) {
    std::optional<ResourceValues> values = resourceValues(location, ResourceFetch::basic);
    if (values && values->isRegularFile && isPictureCandidate(values->path)) {
      takePicture(values->path, found);
    }
    return found;
  }
  const size_t slash = location.rfind('/');
  const std::string_view name = slash == std::string::npos
                                    ? std::string_view(location)
                                    : std::string_view(location).substr(slash + 1);
  if (asciiLower(pathExtension(name)) == kLibraryExtension) found.library.push_back(location);
  DirectoryEnumerator walk(location, EnumerationOptions::skipsHiddenFiles,
                           [](const std::string&, const std::string&) { return true; });
  while (std::optional<ResourceValues> item = walk.next()) {
    if (stopped && stopped()) break;
    if (item->isDirectory) {
      if (asciiLower(pathExtension(item->name)) == kLibraryExtension) {
        found.library.push_back(item->path);
      } else if (item->isPackage) {
        walk.skipDescendants();
      }
      continue;
    }
    if (item->isRegularFile && isPictureCandidate(item->path)) takePicture(item->path, found);
  }
  return found;
}

}  // namespace orvexa::similar_image
