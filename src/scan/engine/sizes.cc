// Sizes of items: logical sizes from the file system, or the metadata index.
#include <cctype>
#include <map>
#include <sstream>

#include "orvexa/platform/paths.h"
#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/units/terminal_tool.h"

namespace orvexa {

int64_t SuperScanService::calculateSize(const Url& url, FilesKind kind) {
  std::optional<ResourceValues> values = resourceValues(url.path(), ResourceFetch::basic);
  if (!values) return defaultSize;
  if (kind == FilesKind::File) return values->fileSize.value_or(defaultSize);
  return treeLogicalSize(url.path());
}

int64_t SuperScanService::appCalculateSize(const Url& url, FilesKind kind, int64_t finderID) {
  std::optional<ResourceValues> values = resourceValues(url.path(), ResourceFetch::basic);
  if (!values) return defaultSize;
  if (kind == FilesKind::File) return values->fileSize.value_or(defaultSize);
  return treeLogicalSize(url.path(), [finderID] { return isSuspended(finderID); });
}

int64_t SuperScanService::packageSizeFromMdlsOutput(const std::string& output) {
  // Keyed by attribute name, so the name that sorts first wins.
  std::map<std::string, std::string> lines;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    for (const char* key : {"kMDItemPhysicalSize", "kMDItemFSSize"}) {
      if (line.find(key) != std::string::npos) lines[key] = line;
    }
  }
  if (lines.empty()) return 0;
  const std::string& chosen = lines.begin()->second;
  size_t pos = 0;
  while (pos < chosen.size() && !std::isdigit(static_cast<unsigned char>(chosen[pos]))) ++pos;
  int64_t value = 0;
  bool any = false;
  for (; pos < chosen.size() && std::isdigit(static_cast<unsigned char>(chosen[pos])); ++pos) {
    if (value > (INT64_MAX - 9) / 10) break;
    value = value * 10 + (chosen[pos] - '0');
    any = true;
  }
  return any ? value : 0;
}

int64_t SuperScanService::getPackageSizeFromTerminal(const Url& url) {
  std::string mdls = Paths::shared().tool("mdls");
  if (!fileExists(mdls)) return calculateSize(url, FilesKind::Package);
  return packageSizeFromMdlsOutput(TerminalUtils::runTerminal(mdls, {url.path()}));
}

}  // namespace orvexa
