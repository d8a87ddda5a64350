// FreeUpRamService: memory figures of the whole system and the memory
// squeeze that makes the kernel reclaim inactive and cached pages.
//
// The figures come from the kernel's virtual-memory statistics, read the way
// the host's 64-bit statistics call would give them: page counts of
// /proc/vmstat times the page size (sysconf(_SC_PAGESIZE)):
//   free         nr_free_pages
//   active       nr_active_anon + nr_active_file
//   inactive     nr_inactive_anon + nr_inactive_file
//   speculative  0 (Linux keeps read-ahead pages among the file pages and
//                does not count them apart)
//   wired        nr_unevictable + unreclaimable slab (nr_slab_unreclaimable_B
//                in bytes, or nr_slab_unreclaimable in pages on older
//                kernels) + nr_kernel_stack (KiB) + nr_page_table_pages,
//                all turned into pages
//   compressor   nr_zspages (the pages holding compressed swap)
// The physical memory is MemTotal of /proc/meminfo. When the statistics
// cannot be read, "Failed to get VM statistics." goes to standard error and
// every count is 0.
//
// freeUpRam allocates its block in chunks (kChunkSize) and writes 1 into
// every byte of each chunk before taking the next, stops at the first
// allocation that fails, then releases everything. The block is
// physical memory - getMemory(), capped by maximumBlockSize(); without a
// cap set, by MemAvailable of /proc/meminfo less kDefaultHeadroom, because
// on Linux an allocation rarely fails: touching more than the kernel can
// supply would call the out-of-memory killer rather than reclaim caches.
//
// Thread-safety: objects have no state; the cap is a process-wide setting
// that may be changed from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvexa {

// Page counts of the virtual-memory statistics (see above).
struct VMStatistics {
  uint64_t freeCount = 0;
  uint64_t activeCount = 0;
  uint64_t inactiveCount = 0;
  uint64_t speculativeCount = 0;
  uint64_t wireCount = 0;
  uint64_t compressorPageCount = 0;
};

class FreeUpRamService {
 public:
  static constexpr uint64_t kChunkSize = uint64_t{64} << 20;         // 64 MiB
  static constexpr uint64_t kDefaultHeadroom = uint64_t{512} << 20;  // 512 MiB

  // Memory in use, in bytes: (active + wired + compressor) x page size.
  float getMemory() const;
  // (free + active + inactive + speculative + wired + compressor) x page
  // size.
  float getAllMemory() const;

  // Fills and releases the block described above; `path` and `fileSize`
  // are not used. Always true.
  bool freeUpRam(const std::string& path, int64_t fileSize) const;

  // The statistics from a vmstat-format file; nothing when it cannot be
  // read or names none of the counters.
  static std::optional<VMStatistics> readStatistics(const std::string& vmstatPath);
  // One "Name:   N kB" field of a meminfo-format file, in bytes.
  static std::optional<uint64_t> readMeminfoBytes(const std::string& meminfoPath,
                                                  const std::string& field);
  static uint64_t pageSize();
  // MemTotal of /proc/meminfo (the role of the physical-memory query).
  static uint64_t physicalMemory();

  // The cap of the block; 0 (the default) restores the MemAvailable rule.
  static void setMaximumBlockSize(uint64_t bytes);
  static uint64_t maximumBlockSize();
  // The block size freeUpRam would use now.
  uint64_t blockSize() const;
};

}  // namespace orvexa
