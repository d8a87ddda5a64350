#include "orvexa/toolkits/free_up_ram_service.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

#include "orvexa/platform/file_reader.h"

namespace orvexa {
namespace {

// The kernel's counter files are a few kilobytes.
constexpr uint64_t kMaxCounterFileBytes = uint64_t{1} << 20;

constexpr const char* kVmstatPath = "/proc/vmstat";
constexpr const char* kMeminfoPath = "/proc/meminfo";

std::atomic<uint64_t>& blockCap() {
  static std::atomic<uint64_t> cap{0};
  return cap;
}

// The statistics, or the zeroed record after the failure message.
VMStatistics statisticsOrZero() {
  std::optional<VMStatistics> stats = FreeUpRamService::readStatistics(kVmstatPath);
  if (!stats) {
    std::fputs("Failed to get VM statistics.\n", stderr);
    return VMStatistics{};
  }
  return *stats;
}

// Releases the chunks of a block on every way out.
class Chunks {
 public:
  Chunks() = default;
  Chunks(const Chunks&) = delete;
  Chunks& operator=(const Chunks&) = delete;
  ~Chunks() {
    for (void* chunk : chunks_) std::free(chunk);
  }
  // A new chunk of `size` bytes, or null when the allocation fails.
  unsigned char* add(size_t size) {
    if (chunks_.size() == chunks_.capacity()) {
      try {
        chunks_.reserve(chunks_.size() * 2 + 16);
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
    }
    void* chunk = std::malloc(size);
    if (chunk != nullptr) chunks_.push_back(chunk);
    return static_cast<unsigned char*>(chunk);
  }

 private:
  std::vector<void*> chunks_;
};

}  // namespace

std::optional<VMStatistics> FreeUpRamService::readStatistics(const std::string& vmstatPath) {
  std::optional<std::string> text = readRegularFile(vmstatPath, kMaxCounterFileBytes);
  if (!text) return std::nullopt;
  std::istringstream in(*text);
  std::map<std::string, uint64_t> values;
  std::string name;
  uint64_t value = 0;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    if (fields >> name >> value) values[name] = value;
  }
  if (values.empty()) return std::nullopt;
  auto get = [&values](const char* key) -> uint64_t {
    auto it = values.find(key);
    return it == values.end() ? 0 : it->second;
  };
  const uint64_t page = pageSize();
  VMStatistics stats;
  stats.freeCount = get("nr_free_pages");
  stats.activeCount = get("nr_active_anon") + get("nr_active_file");
  stats.inactiveCount = get("nr_inactive_anon") + get("nr_inactive_file");
  stats.speculativeCount = 0;
  const uint64_t slabPages = values.count("nr_slab_unreclaimable_B") != 0
                                 ? get("nr_slab_unreclaimable_B") / page
                                 : get("nr_slab_unreclaimable");
  stats.wireCount = get("nr_unevictable") + slabPages + get("nr_kernel_stack") * 1024 / page +
                    get("nr_page_table_pages");
  stats.compressorPageCount = get("nr_zspages");
  return stats;
}

std::optional<uint64_t> FreeUpRamService::readMeminfoBytes(const std::string& meminfoPath,
                                                           const std::string& field) {
  std::optional<std::string> text = readRegularFile(meminfoPath, kMaxCounterFileBytes);
  if (!text) return std::nullopt;
  std::istringstream in(*text);
  std::string line;
  const std::string key = field + ":";
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    std::istringstream fields(line.substr(key.size()));
    uint64_t value = 0;
    std::string unit;
    if (!(fields >> value)) return std::nullopt;
    fields >> unit;
    return unit == "kB" ? value * 1024 : value;
  }
  return std::nullopt;
}

uint64_t FreeUpRamService::pageSize() {
  const long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

uint64_t FreeUpRamService::physicalMemory() {
  return readMeminfoBytes(kMeminfoPath, "MemTotal").value_or(0);
}

float FreeUpRamService::getMemory() const {
  const VMStatistics s = statisticsOrZero();
  return static_cast<float>((s.activeCount + s.wireCount + s.compressorPageCount) * pageSize());
}

float FreeUpRamService::getAllMemory() const {
  const VMStatistics s = statisticsOrZero();
  return static_cast<float>((s.freeCount + s.activeCount + s.inactiveCount + s.speculativeCount +
                             s.wireCount + s.compressorPageCount) *
                            pageSize());
}

void FreeUpRamService::setMaximumBlockSize(uint64_t bytes) { blockCap().store(bytes); }

uint64_t FreeUpRamService::maximumBlockSize() { return blockCap().load(); }

uint64_t FreeUpRamService::blockSize() const {
  const double physical = static_cast<double>(physicalMemory());
  const double inUse = static_cast<double>(getMemory());
  uint64_t block = physical > inUse ? static_cast<uint64_t>(physical - inUse) : 0;
  uint64_t cap = maximumBlockSize();
  if (cap == 0) {
    const uint64_t available = readMeminfoBytes(kMeminfoPath, "MemAvailable").value_or(0);
    cap = available > kDefaultHeadroom ? available - kDefaultHeadroom : 0;
  }
  return std::min(block, cap);
}

bool FreeUpRamService::freeUpRam(const std::string& /*path*/, int64_t /*fileSize*/) const {
  uint64_t remaining = blockSize();
  Chunks chunks;
  while (remaining > 0) {
    const size_t size = static_cast<size_t>(std::min(remaining, kChunkSize));
    unsigned char* chunk = chunks.add(size);
    if (chunk == nullptr) break;
    std::memset(chunk, 1, size);
    // The writes must happen although nothing reads the chunk: make it
    // escape, so that the compiler cannot drop them with the allocation.
    asm volatile("" : : "r"(chunk) : "memory");
    remaining -= size;
  }
  return true;
}

}  // namespace orvexa
