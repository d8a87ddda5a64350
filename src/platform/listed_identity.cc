#include "orvexa/platform/listed_identity.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

namespace orvexa {

uint16_t ListedIdentity::foldDevice(uint64_t device) {
  device ^= device >> 32;
  device ^= device >> 16;
  return static_cast<uint16_t>(device);
}

ListedIdentity ListedIdentity::fromStat(const struct stat& st) {
  ListedIdentity id;
  id.inode = st.st_ino;
  id.size = st.st_size;
  id.modificationNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  id.device = foldDevice(st.st_dev);
  id.type = static_cast<uint8_t>((st.st_mode & S_IFMT) >> 12);
  id.otherLinks = !S_ISDIR(st.st_mode) && st.st_nlink > 1;
  id.allocated = static_cast<int64_t>(st.st_blocks) * 512;
  return id;
}

ListedIdentity ListedIdentity::fromStatx(const struct statx& stx) {
  ListedIdentity id;
  id.inode = stx.stx_ino;
  id.size = static_cast<int64_t>(stx.stx_size);
  id.modificationNs =
      static_cast<int64_t>(stx.stx_mtime.tv_sec) * 1000000000 + stx.stx_mtime.tv_nsec;
  id.device = foldDevice(makedev(stx.stx_dev_major, stx.stx_dev_minor));
  id.type = static_cast<uint8_t>((stx.stx_mode & S_IFMT) >> 12);
  if ((stx.stx_mask & STATX_NLINK) != 0)
    id.otherLinks = !S_ISDIR(stx.stx_mode) && stx.stx_nlink > 1;
  if ((stx.stx_mask & STATX_BLOCKS) != 0) id.allocated = static_cast<int64_t>(stx.stx_blocks) * 512;
  return id;
}

std::optional<ListedIdentity> ListedIdentity::ofPath(const std::string& path) {
  struct stat st {};
  if (::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return fromStat(st);
}

bool ListedIdentity::matches(const struct stat& st) const {
  const ListedIdentity now = fromStat(st);
  if (now.device != device || now.inode != inode || now.type != type) return false;
  return isFolder() || (now.size == size && now.modificationNs == modificationNs);
}

}  // namespace orvexa
