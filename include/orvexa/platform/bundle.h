// Application bundles as their Info.plist describes them.
//
// A bundle is a folder whose Contents/Info.plist (binary or XML) is a
// dictionary with a non-empty "CFBundleIdentifier" string; anything else (no
// Info.plist, a malformed one, no identifier) is not an application and
// reads as nothing. Only Info.plist is read: the bundle's executable is
// never opened, so reading a bundle does not disturb the access date that
// last_used.h looks at.
//
// Thread-safety: everything here is safe for concurrent use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvexa {

struct ApplicationBundle {
  std::string path;              // the bundle folder, without a trailing slash
  std::string bundleIdentifier;  // "CFBundleIdentifier", never empty
  std::string name;              // the folder's name without its extension
  // "CFBundleDisplayName", else "CFBundleName", else `name` (empty texts
  // count as absent).
  std::string localizedName;
  std::string executableName;  // "CFBundleExecutable"; empty when absent
  std::string bundleName;      // "CFBundleName"; empty when absent
  std::string displayName;     // "CFBundleDisplayName"; empty when absent

  // path/Contents/MacOS/<executableName>; empty when no executable is named.
  std::string executablePath() const;
};

// path/Contents/Info.plist.
std::string infoPlistPath(std::string_view bundlePath);

// The application at `bundlePath`, or nothing when it is not one. When its
// Info.plist is there but cannot be read (not a regular file, too large,
// malformed), `error` (when given) says why.
std::optional<ApplicationBundle> readApplicationBundle(std::string_view bundlePath,
                                                       std::string* error = nullptr);

// The first application with that identifier in the applications folders of
// the paths table, searched in this order: applicationsFolder(),
// systemApplicationsFolder(), <home>/Applications. Each folder is walked
// with its sub-folders (not hidden ones, not the insides of bundles) in name
// order. Nothing when no bundle there has the identifier (compared exactly).
std::optional<ApplicationBundle> applicationForBundleIdentifier(std::string_view bundleIdentifier);

}  // namespace orvexa
