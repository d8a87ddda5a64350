#include "orvexa/platform/last_used.h"

#include <sys/stat.h>

#include <vector>

#include "orvexa/platform/bundle.h"
#include "orvexa/platform/file_manager.h"

namespace orvexa {
namespace {

using TimePoint = std::chrono::system_clock::time_point;

TimePoint toTimePoint(const struct timespec& ts) {
  auto sinceEpoch = std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(sinceEpoch));
}

bool later(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// The access time of a regular file read since it was last written.
std::optional<TimePoint> usedAt(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (!later(st.st_atim, st.st_mtim)) return std::nullopt;
  return toTimePoint(st.st_atim);
}

std::vector<std::string> executablesOf(const std::string& bundlePath) {
  if (auto bundle = readApplicationBundle(bundlePath); bundle && !bundle->executableName.empty()) {
    return {bundle->executablePath()};
  }
  std::string macOS = bundlePath + "/Contents/MacOS";
  std::vector<std::string> paths;
  for (const std::string& name : contentsOfDirectory(macOS)) paths.push_back(macOS + "/" + name);
  return paths;
}

}  // namespace

std::optional<TimePoint> lastUsedDate(const std::string& bundlePath) {
  if (bundlePath.empty()) return std::nullopt;
  struct stat st {};
  if (::stat(bundlePath.c_str(), &st) != 0) return std::nullopt;
  if (S_ISREG(st.st_mode)) return usedAt(bundlePath);
  if (!S_ISDIR(st.st_mode)) return std::nullopt;

  std::optional<TimePoint> latest;
  for (const std::string& executable : executablesOf(bundlePath)) {
    std::optional<TimePoint> used = usedAt(executable);
    if (used && (!latest || *used > *latest)) latest = used;
  }
  return latest;
}

}  // namespace orvexa
