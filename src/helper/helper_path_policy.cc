#include <fnmatch.h>

#include <array>

#include "orvexa/helper/helper_path_policy.h"
#include "orvexa/platform/paths.h"

namespace orvexa {
namespace {

// Folders whose whole content belongs to the system.
constexpr std::array<std::string_view, 14> kProtectedTrees = {
    "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32", "/usr",
    "/etc", "/boot", "/dev", "/proc",  "/sys",   "/System", "/private/etc"};

// Folders that must stay although their content may go.
constexpr std::array<std::string_view, 49> kProtectedFolders = {
    "/",
    "/Applications",
    "/Library",
    "/Library/Application Support",
    "/Library/Caches",
    "/Library/Logs",
    "/Library/Logs/DiagnosticReports",
    "/Library/Preferences",
    "/Library/LaunchAgents",
    "/Library/LaunchDaemons",
    "/Library/PrivilegedHelperTools",
    "/Library/Extensions",
    "/Library/Frameworks",
    "/Library/Internet Plug-Ins",
    "/Library/PreferencePanes",
    "/Library/Spotlight",
    "/Library/QuickLook",
    "/Library/Fonts",
    "/Library/Keychains",
    "/Library/Receipts",
    "/Library/StartupItems",
    "/Library/Updates",
    "/Library/Audio",
    "/Library/Printers",
    "/Library/Services",
    "/Users",
    "/Users/Shared",
    "/Volumes",
    "/Network",
    "/cores",
    "/private",
    "/private/var",
    "/private/tmp",
    "/var",
    "/var/run",
    "/var/log",
    "/var/tmp",
    "/var/lib",
    "/var/cache",
    "/var/db",
    "/var/folders",
    "/tmp",
    "/home",
    "/root",
    "/opt",
    "/srv",
    "/mnt",
    "/media",
    "/run",
};

// Patterns of protected folders (fnmatch with FNM_PATHNAME: one component
// per "*"): home folders, their Library folders, mounted volumes.
constexpr std::array<const char*, 5> kProtectedPatterns = {
    "/Users/*", "/Users/*/Library", "/home/*", "/home/*/Library", "/Volumes/*"};

bool isUnder(std::string_view path, std::string_view folder) {
  if (folder == "/") return true;
  return path.substr(0, folder.size()) == folder &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

// Whether `rel` (a normalised absolute path as macOS writes it) is protected.
bool protectedSystemPath(const std::string& rel) {
  for (std::string_view folder : kProtectedFolders) {
    if (rel == folder) return true;
  }
  for (const char* pattern : kProtectedPatterns) {
    if (::fnmatch(pattern, rel.c_str(), FNM_PATHNAME) == 0) return true;
  }
  for (std::string_view tree : kProtectedTrees) {
    if (!isUnder(rel, tree)) continue;
    // Programs installed locally may leave things deeper in /usr/local.
    if (tree == "/usr" && isUnder(rel, "/usr/local")) {
      std::string_view rest = std::string_view(rel).substr(std::string_view("/usr/local").size());
      size_t components = 0;
      for (char c : rest) components += c == '/' ? 1 : 0;
      if (components >= 2) continue;
    }
    return true;
  }
  return false;
}

}  // namespace

std::string helperPathRefusal(std::string_view path, std::string* normalized) {
  const std::string shown(path);
  if (path.find('\0') != std::string_view::npos) return "Refused: the path contains a NUL byte.";
  if (path.empty() || path.front() != '/') {
    return "Refused: \"" + shown + "\" is not an absolute path.";
  }
  std::string clean = "/";
  size_t start = 1;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view part = path.substr(start, slash - start);
    start = slash + 1;
    if (part.empty()) continue;
    if (part == "." || part == "..") {
      return "Refused: \"" + shown + "\" contains \".\" or \"..\".";
    }
    if (clean.size() > 1) clean += '/';
    clean.append(part);
  }
  const std::string root = Paths::shared().root();
  bool isProtected = protectedSystemPath(clean);
  if (!isProtected && !root.empty() && isUnder(clean, root)) {
    std::string rel = clean.substr(root.size());
    isProtected = protectedSystemPath(rel.empty() ? std::string("/") : rel);
  }
  if (isProtected) return "Refused: \"" + clean + "\" is a protected system location.";
  if (normalized != nullptr) *normalized = clean;
  return {};
}

}  // namespace orvexa
