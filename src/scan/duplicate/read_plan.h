// Internal: where a file's bytes lie and how many readers a device takes,
// so that the duplicate scan reads a cold disk in its own order.
//
// - diskPlace: the device and the physical byte offset of the file's first
//   extent (FIEMAP); where the file system cannot tell, the inode number
//   stands in (inode tables are laid out in order, and so, roughly, is the
//   data allocated beside them). `byExtent` tells which of the two it is, so
//   that the two scales are never mixed in one order.
// - readersFor: 1 for a rotating disk (two readers would make its head seek
//   between their files), kSolidStateReaders for anything else. The answer
//   comes from the block layer: st_dev -> /sys/dev/block/MAJ:MIN, up to the
//   whole disk for a partition, then queue/rotational. A device the block
//   layer does not know (tmpfs, overlay, network) counts as solid-state.
// - dropPages: tells the kernel the file's cached pages will not be read
//   again (POSIX_FADV_DONTNEED), so a scan does not push out what the user
//   has cached for a file it has finished with.
// - prefetch: asks for the whole file to be read ahead (POSIX_FADV_WILLNEED)
//   before a side-by-side comparison, so that a rotating disk reads each file
//   in one sweep instead of seeking between the two at every chunk.
//
// Thread-safety: all functions are safe for concurrent use (readersFor
// keeps its answers under a mutex). Errors are not reported: a failing call
// only loses the ordering or the advice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvexa::duplicate_internal {

inline constexpr size_t kSolidStateReaders = 4;

struct DiskPlace {
  uint64_t device = 0;
  bool byExtent = false;
  uint64_t offset = 0;  // physical byte offset, or the inode number
  friend bool operator<(const DiskPlace& a, const DiskPlace& b) {
    if (a.device != b.device) return a.device < b.device;
    if (a.byExtent != b.byExtent) return a.byExtent < b.byExtent;
    return a.offset < b.offset;
  }
};

// From an open descriptor of the file (device and inode as stat gives them).
DiskPlace diskPlace(int fd, uint64_t device, uint64_t inode);

size_t readersFor(uint64_t device);
// The queue/rotational answer for device MAJ:MIN below `sysRoot` ("/sys"
// in use, a made-up tree in tests): 1 rotating, 0 not, -1 unknown.
int rotationalFromSysfs(const std::string& sysRoot, unsigned major, unsigned minor);

void dropPages(const std::string& path);
void prefetch(const std::string& path, int64_t size);

// The items (positions into `places`) split by device, each batch in disk
// order, with the number of readers its device takes. Items marked in
// `inMemory` (when given: the files were in the page cache before the scan
// read them) form a batch of their own per device with kSolidStateReaders
// readers: reading the page cache moves no disk head, so a rotating disk's
// one reader would only leave the other cores idle. A file cached only in
// part then costs a rotating disk some seeks; the scan stays correct.
struct DeviceBatch {
  uint64_t device = 0;
  bool inMemory = false;
  size_t readers = 1;
  std::vector<size_t> items;  // in reading order
};
std::vector<DeviceBatch> batchesByDevice(const std::vector<DiskPlace>& places,
                                         const std::vector<bool>& inMemory = {});

}  // namespace orvexa::duplicate_internal
