// ListedIdentity: what an item on disk was when a scan listed it (device,
// inode, type, size and modification time in nanoseconds), so that a clean
// can tell whether the item it is about to remove is still that item.
//
// matches() always compares device, inode and type; size and modification
// time only for anything but a folder (a cache folder's content, and with it
// the folder's own size and time, changes all the time while the folder is
// still the one that was listed).
//
// The device is kept in 16 bits (a record pays for every byte: disk analysis
// keeps one per file): the device number folded (its upper halves XORed
// into the lower ones; the usual small major:minor numbers stay as they
// are). Two devices can only look alike when their folded numbers, the
// inode, the size and the time all agree as well.
//
// A plain value; thread-safe as any value.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

namespace orvexa {

struct ListedIdentity {
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modificationNs = 0;  // since the epoch
  uint16_t device = 0;         // folded to 16 bits, see above
  uint8_t type = 0;            // S_IFMT bits >> 12; never 0 for a real item
  // Not part of the identity (matches() ignores them): what removing the
  // item gives back. A sparse file takes far fewer blocks than its size; an
  // item with other hard links gives back nothing when one name goes.
  bool otherLinks = false;  // st_nlink > 1 (never set for a folder)
  int64_t allocated = -1;   // st_blocks * 512; -1 when not known

  static ListedIdentity fromStat(const struct stat& st);
  static ListedIdentity fromStatx(const struct statx& stx);
  // The identity of the item at `path` now (the item itself, not a link's
  // target); nothing when it cannot be examined.
  static std::optional<ListedIdentity> ofPath(const std::string& path);

  static uint16_t foldDevice(uint64_t device);

  bool isFolder() const { return type == (S_IFDIR >> 12); }
  bool matches(const struct stat& st) const;

  // The identity only (not what removal gives back).
  friend bool operator==(const ListedIdentity& a, const ListedIdentity& b) {
    return a.inode == b.inode && a.size == b.size && a.modificationNs == b.modificationNs &&
           a.device == b.device && a.type == b.type;
  }
};

}  // namespace orvexa
