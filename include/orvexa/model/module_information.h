// ModuleInformation and the catalogue: the module description file (a
// property list) read into modules, features and categories.
//
// Loading never fails as a whole: a malformed entry (a required key absent or
// of the wrong type) is skipped with one log line naming it and the reason;
// a file that cannot be read or whose root is not a dictionary gives no
// modules and one log line.
//
// Thread-safety: the class operations may be called from any thread; the
// returned tree belongs to the caller.
#pragma once

#include <string>
#include <string_view>

#include "orvexa/model/forward.h"
#include "orvexa/platform/image.h"

namespace orvexa {

// The "type" of the large-and-old-files module exactly as the module
// description file (resources/Feature.plist) spells it, misspelling
// included: code that looks the module up uses this name, never the text.
inline constexpr const char* kLargeAndOldFilesModuleType = "LaregeAndOldFiles";

class ModuleInformation {
 public:
  ModuleInformation() = default;
  ModuleInformation(int finderID, std::string title, std::string type, Image image,
                    std::string description, std::string version,
                    std::vector<FeaturePtr> featureInfo);

  int finderID = 0;
  std::string title;
  std::string type;
  Image image;
  std::string description;
  std::string version;
  std::vector<FeaturePtr> featureInfo;

  // Reads the description file at `moduleFile`; modules sorted by finderID.
  static std::vector<ModulePtr> get(const std::string& moduleFile);
  // The same from the file's bytes (XML or binary property list).
  static std::vector<ModulePtr> getFromData(std::string_view bytes);
  // The description file compiled into the library for the paths table's
  // layout (macOS or Linux; see paths.h).
  static std::vector<ModulePtr> getDefault();
  static std::string_view defaultModuleData();

  // "file://~/" becomes the file URL of the user's home from the paths table
  // (with a root R and user NAME: "file://R/Users/NAME/").
  static std::string updateModuleURL(const std::string& url);
};

// The feature whose module has that "type" text (first match), or with that
// finderID; null when there is none.
FeaturePtr findFeatureByModuleType(const std::vector<ModulePtr>& modules, std::string_view type);
FeaturePtr findFeatureByFinderID(const std::vector<ModulePtr>& modules, int finderID);

}  // namespace orvexa
