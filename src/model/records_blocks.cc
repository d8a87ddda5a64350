#include "model/records_blocks.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace orvexa::detail {
namespace {

// Blocks are aligned to their size, so an object finds the block it was
// carved from by rounding its address down.
constexpr size_t kBlockSize = size_t{256} * 1024;
constexpr size_t kGranule = alignof(void*);

std::atomic<size_t> gLiveBlocks{0};

// The start of a block. `refs` counts the objects carved from the block that
// are still alive, plus one while a thread carves from it.
struct BlockHeader {
  std::atomic<size_t> refs{1};
};

void unref(BlockHeader* block) noexcept {
  if (block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    block->~BlockHeader();
    std::free(block);
    gLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
  }
}

// The calling thread's current block and the free part of it.
class Carver {
 public:
  Carver() = default;
  Carver(const Carver&) = delete;
  Carver& operator=(const Carver&) = delete;
  ~Carver() {
    if (block_ != nullptr) unref(block_);
  }

  void* carve(size_t size) {
    size = (size + kGranule - 1) / kGranule * kGranule;
    if (size > kBlockSize - sizeof(BlockHeader)) throw std::bad_alloc();
    if (block_ == nullptr || static_cast<size_t>(end_ - next_) < size) renew();
    block_->refs.fetch_add(1, std::memory_order_relaxed);
    void* p = next_;
    next_ += size;
    return p;
  }

 private:
  void renew() {
    void* memory = std::aligned_alloc(kBlockSize, kBlockSize);
    if (memory == nullptr) throw std::bad_alloc();
    gLiveBlocks.fetch_add(1, std::memory_order_relaxed);
#ifdef MADV_POPULATE_WRITE
    // The whole block is about to be used: one call maps its pages instead
    // of one fault per page. Kernels that do not know the advice refuse it,
    // which costs nothing.
    ::madvise(memory, kBlockSize, MADV_POPULATE_WRITE);
#endif
    if (block_ != nullptr) unref(block_);
    block_ = new (memory) BlockHeader;
    next_ = static_cast<char*>(memory) + sizeof(BlockHeader);
    end_ = static_cast<char*>(memory) + kBlockSize;
  }

  BlockHeader* block_ = nullptr;
  char* next_ = nullptr;
  char* end_ = nullptr;
};

thread_local Carver tCarver;

}  // namespace

void* carveRecordMemory(size_t size) { return tCarver.carve(size); }

void releaseRecordMemory(void* p) noexcept {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  unref(reinterpret_cast<BlockHeader*>(address & ~std::uintptr_t{kBlockSize - 1}));
}

size_t liveRecordBlocks() { return gLiveBlocks.load(std::memory_order_relaxed); }

}  // namespace orvexa::detail
