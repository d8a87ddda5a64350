#include "scan/duplicate/read_plan.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <system_error>

#include "platform/folder_chain.h"
#include "platform/unique_fd.h"

namespace orvexa::duplicate_internal {
namespace {

int readFlag(const std::filesystem::path& file) {
  std::ifstream in(file);
  int value = -1;
  if (!(in >> value)) return -1;
  return value;
}

detail::UniqueFd openForAdvice(const std::string& path) {
  return detail::openLongPath(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
}

}  // namespace

DiskPlace diskPlace(int fd, uint64_t device, uint64_t inode) {
  DiskPlace place{device, false, inode};
  // The request with room for one extent after it, as the ioctl expects.
  alignas(struct fiemap) unsigned char
      request[sizeof(struct fiemap) + sizeof(struct fiemap_extent)] = {};
  auto* map = reinterpret_cast<struct fiemap*>(request);
  map->fm_start = 0;
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_extent_count = 1;
  if (::ioctl(fd, FS_IOC_FIEMAP, map) == 0 && map->fm_mapped_extents == 1) {
    struct fiemap_extent extent {};
    std::memcpy(&extent, request + sizeof(struct fiemap), sizeof extent);
    if ((extent.fe_flags & FIEMAP_EXTENT_UNKNOWN) == 0) {
      place.byExtent = true;
      place.offset = extent.fe_physical;
    }
  }
  return place;
}

int rotationalFromSysfs(const std::string& sysRoot, unsigned major, unsigned minor) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path link =
      fs::path(sysRoot) / "dev/block" / (std::to_string(major) + ":" + std::to_string(minor));
  fs::path device = fs::canonical(link, ec);
  if (ec) return -1;
  // A partition has no queue of its own: its parent folder is the disk.
  for (int up = 0; up < 2 && !device.empty(); ++up) {
    const int flag = readFlag(device / "queue/rotational");
    if (flag >= 0) return flag;
    device = device.parent_path();
  }
  return -1;
}

size_t readersFor(uint64_t device) {
  static std::mutex mu;
  static std::map<uint64_t, size_t> known;
  std::lock_guard lock(mu);
  auto found = known.find(device);
  if (found != known.end()) return found->second;
  const auto dev = static_cast<dev_t>(device);
  const int rotational = rotationalFromSysfs("/sys", major(dev), minor(dev));
  const size_t readers = rotational == 1 ? 1 : kSolidStateReaders;
  known.emplace(device, readers);
  return readers;
}

void dropPages(const std::string& path) {
  detail::UniqueFd fd = openForAdvice(path);
  if (fd) (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
}

void prefetch(const std::string& path, int64_t size) {
  detail::UniqueFd fd = openForAdvice(path);
  if (fd) (void)::posix_fadvise(fd.get(), 0, size, POSIX_FADV_WILLNEED);
}

std::vector<DeviceBatch> batchesByDevice(const std::vector<DiskPlace>& places,
                                         const std::vector<bool>& inMemory) {
  auto cached = [&](size_t i) { return i < inMemory.size() && inMemory[i]; };
  std::vector<size_t> order(places.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
    if (cached(x) != cached(y)) return cached(y);
    return places[x] < places[y];
  });
  std::vector<DeviceBatch> batches;
  for (size_t i : order) {
    if (batches.empty() || batches.back().device != places[i].device ||
        batches.back().inMemory != cached(i)) {
      const size_t readers = cached(i) ? kSolidStateReaders : readersFor(places[i].device);
      batches.push_back({places[i].device, cached(i), readers, {}});
    }
    batches.back().items.push_back(i);
  }
  return batches;
}

}  // namespace orvexa::duplicate_internal
