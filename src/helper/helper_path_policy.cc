#include <fnmatch.h>
#include <pwd.h>
#include <unistd.h>

#include <array>
#include <optional>

#include "orvexa/helper/helper_path_policy.h"
#include "orvexa/model/category_information.h"
#include "orvexa/model/feature_information.h"
#include "orvexa/model/module_information.h"
#include "orvexa/platform/ascii_case.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "orvexa/scan/uninstall/uninstall_scan_service.h"

namespace orvexa {
namespace {

// Folders whose whole content belongs to the system.
constexpr std::array<std::string_view, 16> kProtectedTrees = {
    "/bin",
    "/sbin",
    "/lib",
    "/lib32",
    "/lib64",
    "/libx32",
    "/usr",
    "/etc",
    "/boot",
    "/dev",
    "/proc",
    "/sys",
    "/System",
    "/private/etc",
    "/Library/Keychains",
    "/Library/Preferences/SystemConfiguration"};

// In every home folder: folders that must stay although their content may
// go, and one whose whole content stays (the keychains).
constexpr std::array<std::string_view, 12> kProtectedHomeFolders = {
    "Library/Caches",
    "Library/Logs",
    "Library/Application Support",
    "Library/Application Support/MobileSync",
    "Library/Application Support/MobileSync/Backup",
    "Library/Preferences",
    "Library/LaunchAgents",
    "Library/Containers",
    ".Trash",
    "Desktop",
    "Documents",
    "Downloads",
};
constexpr std::string_view kProtectedHomeTree = "Library/Keychains";

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

// The protected locations are compared without regard to case: the
// system's volumes ignore it by default, so "library/keychains" in a home
// names the keychains as well.
bool sameFolded(std::string_view a, std::string_view b) { return equalsIgnoringAsciiCase(a, b); }

bool isUnderFolded(std::string_view path, std::string_view folder) {
  if (folder == "/") return true;
  return path.size() >= folder.size() && sameFolded(path.substr(0, folder.size()), folder) &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

// What follows the home folder in `rel` ("" for the home itself), when `rel`
// lies in a home folder (/Users/<name> but the shared one, /home/<name>,
// /root).
std::optional<std::string_view> inHome(std::string_view rel) {
  for (std::string_view homes : {std::string_view("/Users/"), std::string_view("/home/")}) {
    if (!sameFolded(rel.substr(0, homes.size()), homes)) continue;
    std::string_view rest = rel.substr(homes.size());
    const size_t slash = rest.find('/');
    if (sameFolded(rest.substr(0, slash), "Shared") && homes == "/Users/") return std::nullopt;
    return slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  if (isUnderFolded(rel, "/root")) return rel.size() > 5 ? rel.substr(6) : std::string_view();
  return std::nullopt;
}

// Whether `rel` (a normalised absolute path as macOS writes it) is protected.
bool protectedSystemPath(const std::string& rel) {
  if (std::optional<std::string_view> below = inHome(rel)) {
    for (std::string_view folder : kProtectedHomeFolders) {
      if (sameFolded(*below, folder)) return true;
    }
    if (isUnderFolded(*below, kProtectedHomeTree)) return true;
  }
  for (std::string_view folder : kProtectedFolders) {
    if (sameFolded(rel, folder)) return true;
  }
  for (const char* pattern : kProtectedPatterns) {
    if (::fnmatch(pattern, rel.c_str(), FNM_PATHNAME | FNM_CASEFOLD) == 0) return true;
  }
  for (std::string_view tree : kProtectedTrees) {
    if (!isUnderFolded(rel, tree)) continue;
    // Programs installed locally may leave things deeper in /usr/local.
    if (tree == "/usr" && isUnderFolded(rel, "/usr/local")) {
      std::string_view rest = std::string_view(rel).substr(std::string_view("/usr/local").size());
      size_t components = 0;
      for (char c : rest) components += c == '/' ? 1 : 0;
      if (components >= 2) continue;
    }
    return true;
  }
  return false;
}

// `path` without repeated and trailing slashes; empty when it is not an
// absolute path or has "." or ".." components.
std::string normalizedFolder(std::string_view path) {
  if (path.empty() || path.front() != '/') return {};
  std::string clean;
  size_t start = 1;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view part = path.substr(start, slash - start);
    start = slash + 1;
    if (part.empty()) continue;
    if (part == "." || part == "..") return {};
    clean += '/';
    clean.append(part);
  }
  return clean.empty() ? std::string("/") : clean;
}

void addFolder(std::vector<std::string>* folders, std::string_view path) {
  std::string clean = normalizedFolder(path);
  // The root folder is never a folder to act in.
  if (clean.empty() || clean == "/") return;
  for (const std::string& known : *folders) {
    if (known == clean) return;
  }
  folders->push_back(std::move(clean));
}

std::string passwordHome(uid_t uid) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return {};
  }
  return found->pw_dir;
}

}  // namespace

bool helperNameIsBundleIdentifier(std::string_view name) {
  size_t parts = 1;
  char previous = '.';
  for (char c : name) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (c == '.') {
      if (previous == '.') return false;
      ++parts;
    } else if (!letter && !digit && c != '-' && c != '_') {
      return false;
    } else if (parts == 1 && previous == '.' && !letter) {
      return false;
    }
    previous = c;
  }
  return parts >= 3 && previous != '.';
}

std::vector<std::string> helperSystemFolders(std::vector<std::string>* bundleFolders) {
  const Paths& paths = Paths::shared();
  const std::string home = paths.userHome();
  const std::string shared = normalizedFolder(paths.resolve("/Users/Shared"));
  std::vector<std::string> named;
  for (const ModulePtr& module : ModuleInformation::getDefault()) {
    for (const FeaturePtr& feature : module->featureInfo) {
      for (const CategoryPtr& category : feature->categoryInfo) {
        for (const Url& url : category->urls) {
          if (url.isFileURL()) named.push_back(url.path());
        }
      }
    }
  }
  for (const std::string& folder : UninstallScanService::regularFolderList()) {
    named.push_back(folder);
  }
  named.push_back(paths.applicationsFolder());
  std::vector<std::string> folders;
  for (const std::string& folder : named) {
    // The home folders named here are this process's user's; a scope adds
    // the asking user's own.
    if (isUnder(folder, home)) continue;
    if (normalizedFolder(folder) == shared) {
      if (bundleFolders != nullptr) addFolder(bundleFolders, folder);
      continue;
    }
    addFolder(&folders, folder);
    addFolder(&folders, Paths::disabledTwin(normalizedFolder(folder)));
  }
  return folders;
}

HelperPathScope helperPathScopeFor(uid_t uid) {
  const Paths& paths = Paths::shared();
  HelperPathScope scope;
  scope.folders = helperSystemFolders(&scope.bundleFolders);
  std::string home;
  if (uid == ::geteuid()) {
    home = paths.userHome();
  } else if (!paths.root().empty()) {
    const std::string name = accountNameOf(uid);
    if (!name.empty()) home = paths.homeOf(name);
  } else {
    home = passwordHome(uid);
  }
  if (!home.empty()) addFolder(&scope.folders, home);
  for (const Url& volume : mountedVolumeURLs()) {
    for (const std::string& trash : paths.volumeTrashFolders(volume.path(), uid)) {
      addFolder(&scope.folders, trash);
    }
  }
  return scope;
}

std::string helperPathRefusal(std::string_view path, const HelperPathScope& scope,
                              std::string* normalized) {
  const std::string shown(path);
  if (path.find('\0') != std::string_view::npos) return "Refused: the path contains a NUL byte.";
  if (path.empty() || path.front() != '/') {
    return "Refused: \"" + shown + "\" is not an absolute path.";
  }
  const std::string clean = normalizedFolder(path);
  if (clean.empty()) return "Refused: \"" + shown + "\" contains \".\" or \"..\".";
  const std::string root = Paths::shared().root();
  bool isProtected = protectedSystemPath(clean);
  if (!isProtected && !root.empty() && isUnder(clean, root)) {
    std::string rel = clean.substr(root.size());
    isProtected = protectedSystemPath(rel.empty() ? std::string("/") : rel);
  }
  if (isProtected) return "Refused: \"" + clean + "\" is a protected system location.";
  bool allowed = false;
  for (const std::string& folder : scope.folders) {
    if (clean != folder && isUnder(clean, folder)) {
      allowed = true;
      break;
    }
  }
  for (const std::string& folder : scope.bundleFolders) {
    if (allowed || clean == folder || !isUnder(clean, folder)) continue;
    const std::string_view below = std::string_view(clean).substr(folder.size() + 1);
    if (!helperNameIsBundleIdentifier(below.substr(0, below.find('/')))) {
      return "Refused: \"" + clean +
             "\" is in the shared users folder and not named like an application's bundle "
             "identifier.";
    }
    allowed = true;
  }
  if (!allowed) {
    return "Refused: \"" + clean +
           "\" is outside the asking user's home and the system folders the helper cleans.";
  }
  if (normalized != nullptr) *normalized = clean;
  return {};
}

std::string helperPathRefusal(std::string_view path, std::string* normalized) {
  return helperPathRefusal(path, helperPathScopeFor(::geteuid()), normalized);
}

}  // namespace orvexa
