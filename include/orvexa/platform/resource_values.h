// The resource values of one file-system item, as the file manager reports
// them for a path or during a directory enumeration.
//
// How the platform's values are substituted here:
// - Everything but the type values comes from one lstat-like call: symbolic
//   links are reported as links (never followed), and a link is neither a
//   directory nor a package nor a regular file.
// - fileSize is the logical size lstat reports (for links, the length of
//   the target text); folders have none, as on the platform, so summing the
//   sizes of an enumeration gives treeLogicalSize.
// - creationDate is the birth time when the file system records one, else the
//   status-change time; it is never later than the modification date (setting
//   an earlier modification date moves the creation date back, as the
//   platform does).
// - localizedName is the file name, except that applications (".app"
//   packages) are shown without their extension, as the Finder does.
// - isHidden: the name starts with ".".
// - isPackage: a directory whose extension is a bundle extension
//   (isBundleExtension in content_type.h).
// - contentType, localizedTypeDescription: from content_type.h.
// - effectiveIcon: the image the host registered under the content type's
//   name (Image::named), else the empty image.
//
// Thread-safety: the functions are safe for concurrent use.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "orvexa/platform/image.h"
#include "orvexa/platform/listed_identity.h"
#include "orvexa/platform/posix_error.h"

namespace orvexa {

// How much to fetch. The type values may read the first bytes of a file
// without an extension, so walks that need only names, kinds, sizes and
// dates leave them out.
enum class ResourceFetch { basic, withType };

struct ResourceValues {
  using TimePoint = std::chrono::system_clock::time_point;

  std::string path;
  std::string name;  // the last path component as on disk
  std::string localizedName;
  std::optional<int64_t> fileSize;
  bool isDirectory = false;
  bool isPackage = false;
  bool isRegularFile = false;
  bool isHidden = false;
  bool isSymbolicLink = false;
  std::optional<TimePoint> creationDate;
  std::optional<TimePoint> modificationDate;
  std::optional<TimePoint> accessDate;
  uid_t ownerId = 0;
  mode_t mode = 0;          // type and permission bits as lstat reports them
  ListedIdentity identity;  // from the same call
  // Empty unless fetched with ResourceFetch::withType.
  std::string contentType;
  std::string localizedTypeDescription;
  Image effectiveIcon;
};

// The values of the item at `path` (not following a final symbolic link).
// Nothing when the item cannot be examined; `status` then says why.
std::optional<ResourceValues> resourceValues(const std::string& path,
                                             ResourceFetch fetch = ResourceFetch::withType,
                                             FileStatus* status = nullptr);

}  // namespace orvexa
