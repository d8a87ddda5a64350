#include "orvexa/platform/resource_values.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "orvexa/platform/content_type.h"
#include "platform/folder_chain.h"
#include "platform/resource_values_at.h"
#include "platform/unique_fd.h"

namespace orvexa {
namespace detail {

ResourceValues::TimePoint toTimePoint(const struct statx_timestamp& ts) {
  using std::chrono::duration_cast;
  auto sinceEpoch = std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  return ResourceValues::TimePoint(duration_cast<ResourceValues::TimePoint::duration>(sinceEpoch));
}

ResourceValues::TimePoint creationDateOf(const struct statx& stx) {
  const auto born =
      (stx.stx_mask & STATX_BTIME) != 0 ? toTimePoint(stx.stx_btime) : toTimePoint(stx.stx_ctime);
  return std::min(born, toTimePoint(stx.stx_mtime));
}

namespace {

std::string lastComponent(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return path.substr(0, end);
  if (end == 1) return "/";
  return path.substr(slash + 1, end - slash - 1);
}

}  // namespace

int resourceValuesAt(int dirFd, const char* name, std::string path, ResourceFetch fetch,
                     ResourceValues* out) {
  struct statx stx {};
  if (::statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME,
              &stx) != 0) {
    return errno;
  }
  const auto mode = static_cast<mode_t>(stx.stx_mode);
  ResourceValues& v = *out;
  v.path = std::move(path);
  v.name = lastComponent(v.path);
  v.isSymbolicLink = S_ISLNK(mode);
  v.isDirectory = S_ISDIR(mode);
  v.isRegularFile = S_ISREG(mode);
  v.isHidden = v.name.size() > 1 && v.name.front() == '.';
  v.isPackage = v.isDirectory && isBundleExtension(pathExtension(v.name));
  v.localizedName = v.name;
  if (v.isPackage && pathExtension(v.name).size() == 3) {
    std::string_view extension = pathExtension(v.name);
    if ((extension[0] | 0x20) == 'a' && (extension[1] | 0x20) == 'p' &&
        (extension[2] | 0x20) == 'p') {
      v.localizedName.resize(v.name.size() - 4);
    }
  }
  // Folders have no file size of their own, as on the platform; everything
  // else reports what lstat says.
  if (v.isDirectory) {
    v.fileSize.reset();
  } else {
    v.fileSize = static_cast<int64_t>(stx.stx_size);
  }
  v.modificationDate = toTimePoint(stx.stx_mtime);
  v.accessDate = toTimePoint(stx.stx_atime);
  v.creationDate = creationDateOf(stx);
  v.ownerId = stx.stx_uid;
  v.mode = mode;
  v.identity = ListedIdentity::fromStatx(stx);
  v.contentType.clear();
  v.localizedTypeDescription.clear();
  v.effectiveIcon = Image{};
  if (fetch == ResourceFetch::withType) {
    char buffer[kContentSniffLength];
    size_t length = 0;
    if (v.isRegularFile && pathExtension(v.name).empty()) {
      UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      ssize_t n = fd.valid() ? ::read(fd.get(), buffer, sizeof buffer) : -1;
      length = n > 0 ? static_cast<size_t>(n) : 0;
    }
    v.contentType = S_ISREG(mode) || v.isDirectory || v.isSymbolicLink
                        ? contentTypeForName(v.name, v.isDirectory, v.isSymbolicLink,
                                             std::string_view(buffer, length))
                        : "public.item";
    v.localizedTypeDescription = localizedTypeDescription(v.contentType);
    v.effectiveIcon = Image::named(v.contentType);
  }
  return 0;
}

}  // namespace detail

std::optional<ResourceValues> resourceValues(const std::string& path, ResourceFetch fetch,
                                             FileStatus* status) {
  if (path.empty()) {
    if (status != nullptr) *status = FileStatus::fromErrno(ENOENT, path);
    return std::nullopt;
  }
  // A trailing slash would make the kernel follow a final link; the item
  // itself is wanted.
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  ResourceValues values;
  int err = 0;
  const size_t slash = trimmed.rfind('/');
  if (trimmed.size() >= PATH_MAX && slash != std::string::npos && slash > 0) {
    // Too long for the system: examined relative to its folder.
    detail::UniqueFd folder =
        detail::openLongPath(trimmed.substr(0, slash), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string name = trimmed.substr(slash + 1);
    err = folder ? detail::resourceValuesAt(folder.get(), name.c_str(), trimmed, fetch, &values)
                 : errno;
  } else {
    err = detail::resourceValuesAt(AT_FDCWD, trimmed.c_str(), trimmed, fetch, &values);
  }
  if (err != 0) {
    if (status != nullptr) *status = FileStatus::fromErrno(err, path);
    return std::nullopt;
  }
  if (status != nullptr) *status = FileStatus();
  return values;
}

}  // namespace orvexa
