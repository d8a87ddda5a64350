#include "orvexa/scan/uninstall/name_rules.h"

#include <sys/stat.h>

#include <algorithm>

#include "orvexa/platform/ascii_case.h"

namespace orvexa {
namespace {

bool sameText(std::string_view a, std::string_view b, bool ignoreCase) {
  return ignoreCase ? equalsIgnoringAsciiCase(a, b) : a == b;
}

}  // namespace

bool nameMatchesWhole(std::string_view entry, std::string_view name, bool ignoreCase) {
  if (name.empty() || entry.size() < name.size()) return false;
  if (!sameText(entry.substr(0, name.size()), name, ignoreCase)) return false;
  if (entry.size() == name.size()) return true;
  const char next = entry[name.size()];
  return next == '.' || next == '-' || next == '_' || next == ' ';
}

bool isInstalledBundleEntry(const std::string& path, std::string_view name, bool isDirectory,
                            bool isLink) {
  if (name.size() <= 4 || name.substr(name.size() - 4) != ".app") return false;
  if (isDirectory && !isLink) return true;
  struct stat st {};
  return isLink && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> knownNames(const ApplicationBundle& bundle) {
  std::vector<std::string> names;
  for (const std::string* name : {&bundle.bundleIdentifier, &bundle.name, &bundle.bundleName,
                                  &bundle.displayName, &bundle.executableName}) {
    if (!name->empty() && std::find(names.begin(), names.end(), *name) == names.end()) {
      names.push_back(*name);
    }
  }
  return names;
}

bool isBundleIdentifierName(std::string_view name) {
  if (name.find_first_of(" /") != std::string_view::npos) return false;
  const size_t firstDot = name.find('.');
  if (firstDot == 0 || firstDot == std::string_view::npos) return false;
  for (char c : name.substr(0, firstDot)) {
    if (c < 'a' || c > 'z') return false;
  }
  int components = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = name.find('.', start);
    const size_t end = dot == std::string_view::npos ? name.size() : dot;
    if (end == start) return false;
    ++components;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return components >= 3;
}

std::string_view vendorOf(std::string_view name) {
  if (!isBundleIdentifierName(name)) return {};
  const size_t first = name.find('.');
  const size_t second = name.find('.', first + 1);
  return name.substr(first + 1, second - first - 1);
}

bool isKeptEntryName(std::string_view name) {
  return std::any_of(std::begin(kKeptEntries), std::end(kKeptEntries), [&](const KeptEntry& e) {
    if (e.prefix) return name.substr(0, e.name.size()) == e.name;
    const size_t n = e.name.size();
    return name.size() >= n && sameText(name.substr(0, n), e.name, /*ignoreCase=*/true) &&
           (name.size() == n || name[n] == '.');
  });
}

}  // namespace orvexa
