#include "scan/duplicate/content_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <xxhash.h>
#if defined(__x86_64__) && __has_include(<xxh_x86dispatch.h>)
// The library's generic build uses SSE2 only; the dispatching entry points
// pick AVX2 or AVX-512 where the processor has them (same digests).
#include <xxh_x86dispatch.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "orvexa/units/swift_file_hash.h"
#include "platform/folder_chain.h"
#include "platform/unique_fd.h"

namespace orvexa::duplicate_internal {
namespace {

// Bytes read between two looks at scanState. Reads from the page cache cost
// a copy and a system call each: 128 KiB chunks keep the call overhead small
// while a chunk (and, when comparing, two) stays in the core's L2 cache for
// the digest or the comparison that follows.
constexpr size_t kChunkBytes = 128 * 1024;

std::mutex& seamMutex() {
  static std::mutex mu;
  return mu;
}
DigestFunction& seam() {
  static DigestFunction* function = new DigestFunction;
  return *function;
}

// Opens a file that must still be a regular file of `expectedSize` bytes.
// O_NONBLOCK: should the path have become a pipe since it was listed, the
// open must not wait for a writer (it is refused below anyway).
// True when the page cache holds the first `bytes` of the file. A mapping
// that is never touched reads nothing and cannot fault; mincore only looks.
bool headCached(int fd, size_t bytes) {
  void* head = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
  if (head == MAP_FAILED) return false;
  const long page = ::sysconf(_SC_PAGESIZE);
  std::vector<unsigned char> resident((bytes + static_cast<size_t>(page) - 1) /
                                      static_cast<size_t>(page));
  const bool all =
      ::mincore(head, bytes, resident.data()) == 0 &&
      std::all_of(resident.begin(), resident.end(), [](unsigned char r) { return (r & 1) != 0; });
  ::munmap(head, bytes);
  return all;
}

detail::UniqueFd openExpected(const std::string& path, int64_t expectedSize,
                              struct stat* status = nullptr) {
  detail::UniqueFd file =
      detail::openLongPath(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (!file) return file;
  struct stat own {};
  struct stat& st = status != nullptr ? *status : own;
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != expectedSize) {
    return detail::UniqueFd();
  }
  (void)::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return file;
}

// Reads up to `capacity` bytes, fewer only at the end of the file. -1 on a
// read error.
ssize_t readFull(int fd, uint8_t* buffer, size_t capacity) {
  size_t total = 0;
  while (total < capacity) {
    ssize_t got = ::read(fd, buffer + total, capacity - total);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(total);
}

ContentDigest fromXxh(XXH128_hash_t h) { return ContentDigest{h.high64, h.low64}; }

}  // namespace

bool readingSuspended() {
  return SwiftFileHashUnit::shard().scanState.load(std::memory_order_relaxed) ==
         static_cast<int>(ScanState::suspend);
}

std::string digestText(const ContentDigest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(32, '0');
  for (int i = 0; i < 16; ++i) {
    uint64_t word = i < 8 ? digest.high : digest.low;
    int shift = 56 - 8 * (i % 8);
    auto byte = static_cast<unsigned>((word >> shift) & 0xFFu);
    text[static_cast<size_t>(2 * i)] = kHex[byte >> 4];
    text[static_cast<size_t>(2 * i + 1)] = kHex[byte & 0xFu];
  }
  return text;
}

ReadBuffer::ReadBuffer()
    : data_(std::make_unique_for_overwrite<uint8_t[]>(2 * kChunkBytes)), size_(2 * kChunkBytes) {}

ReadBuffer::~ReadBuffer() {
  if (state_ != nullptr) XXH3_freeState(static_cast<XXH3_state_t*>(state_));
}

ReadBuffer::ReadBuffer(ReadBuffer&& other) noexcept
    : data_(std::move(other.data_)),
      size_(std::exchange(other.size_, 0)),
      state_(std::exchange(other.state_, nullptr)) {}

ReadBuffer& ReadBuffer::operator=(ReadBuffer&& other) noexcept {
  if (this != &other) {
    if (state_ != nullptr) XXH3_freeState(static_cast<XXH3_state_t*>(state_));
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    state_ = std::exchange(other.state_, nullptr);
  }
  return *this;
}

void* ReadBuffer::digestState() {
  if (state_ == nullptr) state_ = XXH3_createState();
  return state_;
}

std::optional<ContentDigest> xxh3ContentDigest(const std::string& path, int64_t expectedSize,
                                               ReadBuffer& buffer) {
  // Looked at before the open as well: a stopped scan must not touch files.
  if (readingSuspended()) return std::nullopt;
  detail::UniqueFd file = openExpected(path, expectedSize);
  if (!file) return std::nullopt;
  auto* state = static_cast<XXH3_state_t*>(buffer.digestState());
  if (state == nullptr || XXH3_128bits_reset(state) != XXH_OK) return std::nullopt;
  const size_t chunk = std::min(kChunkBytes, buffer.size());
  int64_t total = 0;
  for (;;) {
    if (readingSuspended()) return std::nullopt;
    ssize_t got = readFull(file.get(), buffer.data(), chunk);
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    total += got;
    if (total > expectedSize) return std::nullopt;  // grew while being read
    (void)XXH3_128bits_update(state, buffer.data(), static_cast<size_t>(got));
    if (static_cast<size_t>(got) < chunk) break;  // end of file
  }
  if (total != expectedSize) return std::nullopt;
  return fromXxh(XXH3_128bits_digest(state));
}

std::optional<ContentDigest> contentDigest(const std::string& path, int64_t expectedSize,
                                           ReadBuffer& buffer) {
  DigestFunction replaced;
  {
    std::lock_guard lock(seamMutex());
    replaced = seam();
  }
  if (replaced) return replaced(path, expectedSize, buffer);
  return xxh3ContentDigest(path, expectedSize, buffer);
}

void setDigestFunctionForTesting(DigestFunction function) {
  std::lock_guard lock(seamMutex());
  seam() = std::move(function);
}

std::optional<ContentDigest> prefixDigest(const std::string& path, int64_t expectedSize,
                                          ReadBuffer& buffer) {
  if (readingSuspended()) return std::nullopt;
  detail::UniqueFd file = openExpected(path, expectedSize);
  if (!file) return std::nullopt;
  const auto want = static_cast<size_t>(std::min<int64_t>(expectedSize, kPrefixBytes));
  ssize_t got = readFull(file.get(), buffer.data(), want);
  if (got < 0 || static_cast<size_t>(got) != want) return std::nullopt;
  return fromXxh(XXH3_128bits(buffer.data(), want));
}

bool digestFunctionReplaced() {
  std::lock_guard lock(seamMutex());
  return static_cast<bool>(seam());
}

std::optional<BlockDigest> blockDigest(const std::string& path, int64_t expectedSize, bool last,
                                       ReadBuffer& buffer, bool* missed) {
  if (readingSuspended()) return std::nullopt;
  struct stat st {};
  detail::UniqueFd file = openExpected(path, expectedSize, &st);
  if (!file) return std::nullopt;
  (void)::posix_fadvise(file.get(), 0, 0, POSIX_FADV_RANDOM);
  const auto want = static_cast<size_t>(std::min<int64_t>(expectedSize, kPrefixBytes));
  // Asked before reading: a read that misses the cache, even one that may
  // not wait, starts the disk.
  if (missed != nullptr && (last || !headCached(file.get(), want))) {
    *missed = true;
    return std::nullopt;
  }
  bool cached = false;
  auto readAt = [&](int64_t offset) -> std::optional<ContentDigest> {
    size_t total = 0;
    // First without waiting for the disk: what it gives is what was cached.
    struct iovec vector {
      buffer.data(), want
    };
    const ssize_t ready = ::preadv2(file.get(), &vector, 1, static_cast<off_t>(offset), RWF_NOWAIT);
    if (ready > 0) total = static_cast<size_t>(ready);
    cached = total == want;
    while (total < want) {
      ssize_t got = ::pread(file.get(), buffer.data() + total, want - total,
                            static_cast<off_t>(offset) + static_cast<off_t>(total));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return std::nullopt;
      total += static_cast<size_t>(got);
    }
    return fromXxh(XXH3_128bits(buffer.data(), want));
  };
  std::optional<ContentDigest> digest =
      readAt(last ? expectedSize - static_cast<int64_t>(want) : 0);
  if (!digest) return std::nullopt;
  const auto device = static_cast<uint64_t>(st.st_dev);
  const auto inode = static_cast<uint64_t>(st.st_ino);
  return BlockDigest{
      *digest,
      missed != nullptr ? DiskPlace{device, false, inode} : diskPlace(file.get(), device, inode),
      cached};
}

std::vector<CompareResult> compareWithReference(const std::string& reference,
                                                const std::vector<std::string>& others,
                                                int64_t size, ReadBuffer& buffer,
                                                std::optional<ContentDigest>* referenceDigest) {
  std::vector<CompareResult> results(others.size(), CompareResult::failed);
  XXH3_state_t* state = nullptr;
  if (referenceDigest != nullptr) {
    referenceDigest->reset();
    state = static_cast<XXH3_state_t*>(buffer.digestState());
    if (state != nullptr && XXH3_128bits_reset(state) != XXH_OK) state = nullptr;
  }
  const size_t half = buffer.size() / 2;
  uint8_t* mine = buffer.data();
  uint8_t* theirs = buffer.data() + half;

  for (size_t begin = 0; begin < others.size(); begin += kMaxOpenFiles) {
    const size_t end = std::min(others.size(), begin + kMaxOpenFiles);
    if (readingSuspended()) return results;
    detail::UniqueFd ref = openExpected(reference, size);
    if (!ref) return results;
    struct Open {
      size_t index;
      detail::UniqueFd fd;
    };
    std::vector<Open> open;
    for (size_t i = begin; i < end; ++i) {
      detail::UniqueFd fd = openExpected(others[i], size);
      if (fd) open.push_back({i, std::move(fd)});
    }
    int64_t offset = 0;
    bool failed = false;
    while (!open.empty()) {
      if (readingSuspended()) {
        failed = true;
        break;
      }
      const size_t chunk = offset == 0 ? std::min(kPrefixBytes, half) : half;
      ssize_t got = readFull(ref.get(), mine, chunk);
      if (got < 0) {
        failed = true;
        break;
      }
      const auto n = static_cast<size_t>(got);
      if (state != nullptr && begin == 0) (void)XXH3_128bits_update(state, mine, n);
      auto it = open.begin();
      while (it != open.end()) {
        ssize_t other = readFull(it->fd.get(), theirs, chunk);
        if (other < 0 || static_cast<size_t>(other) != n) {
          // A read error, or a length that no longer matches the reference:
          // one of the two changed while being read.
          results[it->index] = CompareResult::failed;
          it = open.erase(it);
        } else if (std::memcmp(mine, theirs, n) != 0) {
          results[it->index] = CompareResult::different;
          it = open.erase(it);
        } else {
          ++it;
        }
      }
      offset += got;
      if (n < chunk) break;  // end of the reference
    }
    if (failed || offset != size) {
      // Stopped, or the reference changed while being read: what is still
      // open is undecided, and so is every later batch. Files already found
      // different stay different.
      for (const Open& o : open) results[o.index] = CompareResult::failed;
      return results;
    }
    for (const Open& o : open) results[o.index] = CompareResult::equal;
    // Here the first batch has read the whole reference.
    if (state != nullptr && begin == 0) {
      *referenceDigest = fromXxh(XXH3_128bits_digest(state));
    }
    state = nullptr;
  }
  return results;
}

SideBySide readSideBySide(const std::vector<std::string>& paths, int64_t size, ReadBuffer& buffer) {
  SideBySide out;
  out.digests.assign(paths.size(), std::nullopt);
  out.withFirst.assign(paths.size(), CompareResult::failed);
  if (paths.empty() || paths.size() > kMaxOpenFiles || readingSuspended()) return out;
  struct Stream {
    size_t index = 0;
    detail::UniqueFd fd;
    std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t*)> state{nullptr, XXH3_freeState};
    int64_t read = 0;
  };
  // In path order, so that in every round the first file's chunk is read
  // before the others are compared with it.
  std::vector<Stream> streams;
  streams.reserve(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    Stream stream;
    stream.index = i;
    stream.fd = openExpected(paths[i], size);
    stream.state.reset(XXH3_createState());
    if (!stream.fd || !stream.state || XXH3_128bits_reset(stream.state.get()) != XXH_OK) continue;
    streams.push_back(std::move(stream));
  }
  std::vector<bool> alike(paths.size(), true);
  const size_t half = buffer.size() / 2;
  uint8_t* first = buffer.data();
  uint8_t* other = buffer.data() + half;
  while (!streams.empty()) {
    if (readingSuspended()) {
      out.digests.assign(paths.size(), std::nullopt);
      return out;
    }
    // The first file's chunk of this round, when it is still being read.
    std::optional<size_t> firstChunk;
    for (auto it = streams.begin(); it != streams.end();) {
      const bool isFirst = it->index == 0;
      uint8_t* into = isFirst ? first : other;
      const ssize_t got = readFull(it->fd.get(), into, half);
      if (got < 0 || it->read + got > size) {
        it = streams.erase(it);  // a read error, or the file grew: no digest
        continue;
      }
      const auto n = static_cast<size_t>(got);
      (void)XXH3_128bits_update(it->state.get(), into, n);
      if (isFirst) {
        firstChunk = n;
      } else if (firstChunk && (*firstChunk != n || std::memcmp(first, into, n) != 0)) {
        alike[it->index] = false;
      }
      it->read += got;
      if (n == half) {
        ++it;
        continue;
      }
      // The end of the file, which must be whole.
      if (it->read == size) out.digests[it->index] = fromXxh(XXH3_128bits_digest(it->state.get()));
      it = streams.erase(it);
    }
  }
  if (digestFunctionReplaced()) {
    for (size_t i = 0; i < paths.size(); ++i) {
      if (out.digests[i]) out.digests[i] = contentDigest(paths[i], size, buffer);
    }
  }
  // Without the whole first file nothing was decided against it.
  if (!out.digests[0]) return out;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (!out.digests[i]) continue;
    out.withFirst[i] = alike[i] ? CompareResult::equal : CompareResult::different;
  }
  return out;
}

}  // namespace orvexa::duplicate_internal
