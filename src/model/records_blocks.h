// Where the records of big scans live. A disk analysis makes one record per
// file and folder, the walk of a home one per file: hundreds of thousands
// of small objects that are made together and usually dropped together. They
// are carved one after the other from large blocks instead of being
// allocated one by one: no per-record allocator header or lock, and the
// memory grows a block at a time. Internal to the library.
//
// Ownership: a block goes back to the system when the last record carved
// from it is released and no thread carves from it any more. The records are
// ordinary shared records otherwise: they may be held, moved and released
// anywhere, and their strings and children are allocated as usual.
//
// Thread-safety: each thread carves from its own current block; releasing
// may happen on any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include "orvexa/model/records.h"

namespace orvexa::detail {

// Memory for one object of `size` bytes (pointer-aligned) from the calling
// thread's block, and its release. Throws std::bad_alloc like operator new.
void* carveRecordMemory(size_t size);
void releaseRecordMemory(void* p) noexcept;

// How many blocks are alive (carved from and not yet returned).
size_t liveRecordBlocks();

// The allocator std::allocate_shared uses for a record and its counts.
template <class T>
struct RecordBlockAllocator {
  static_assert(alignof(T) <= alignof(void*));
  using value_type = T;

  RecordBlockAllocator() = default;
  template <class U>
  RecordBlockAllocator(const RecordBlockAllocator<U>&) noexcept {}  // NOLINT: rebinding

  T* allocate(size_t n) { return static_cast<T*>(carveRecordMemory(n * sizeof(T))); }
  void deallocate(T* p, size_t) noexcept { releaseRecordMemory(p); }

  template <class U>
  friend bool operator==(const RecordBlockAllocator&, const RecordBlockAllocator<U>&) noexcept {
    return true;
  }
};

// A record made like std::make_shared<FileInformation>(args...), carved
// from the calling thread's block.
template <class... Args>
FilePtr makeBlockRecord(Args&&... args) {
  return std::allocate_shared<FileInformation>(RecordBlockAllocator<FileInformation>(),
                                               std::forward<Args>(args)...);
}

}  // namespace orvexa::detail
