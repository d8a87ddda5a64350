// Path texts of URLs and regular-expression matches.
#include "orvexa/scan/engine/super_scan_service.h"
#include "units/regular_expression.h"

namespace orvexa {
namespace {

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size())) {
    s.replace(pos, from.size(), to);
  }
}

}  // namespace

std::string SuperScanService::handleStringTo(const std::string& url) {
  std::string text = url;
  replaceAll(text, "file://", "");
  replaceAll(text, "%20", " ");
  std::string decoded;
  if (!percentDecode(text, &decoded)) return {};
  return decoded;
}

std::string SuperScanService::handleURLToString(const Url& url) {
  return handleStringTo(url.absoluteString());
}

std::vector<std::string> SuperScanService::regexGetSub(const std::string& pattern,
                                                       const std::string& str) {
  return internal::matchesOf(pattern, str);
}

}  // namespace orvexa
