// Internal: reading file content for the duplicate scan. Digests of whole
// files and of their first bytes, and byte-for-byte comparison.
//
// Every read looks at SwiftFileHashUnit::shard().scanState before each chunk
// and gives up (nothing, or CompareResult::failed) once it is `suspend`.
// Files are opened without following a final symbolic link and must still be
// regular files of the size the walk saw: a file that changed size, was
// replaced by something else, vanished or cannot be read gives nothing, so
// it drops out of every group instead of being compared on stale facts.
//
// Thread-safety: the functions are safe for concurrent use as long as each
// thread has its own ReadBuffer. The digest seam must be set while no scan
// runs.
#pragma once

#include <sys/types.h>

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scan/duplicate/read_plan.h"

namespace orvexa::duplicate_internal {

// Bytes of the cheap first test.
inline constexpr size_t kPrefixBytes = 4096;

// A 128-bit content digest.
struct ContentDigest {
  uint64_t high = 0;
  uint64_t low = 0;
  friend auto operator<=>(const ContentDigest&, const ContentDigest&) = default;
};

// 32 lower-case hex digits, high half first.
std::string digestText(const ContentDigest& digest);

// The reading buffer and digest state of one worker. Move-only.
class ReadBuffer {
 public:
  ReadBuffer();
  ~ReadBuffer();
  ReadBuffer(ReadBuffer&&) noexcept;
  ReadBuffer& operator=(ReadBuffer&&) noexcept;
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;

  uint8_t* data() { return data_.get(); }
  size_t size() const { return size_; }
  void* digestState();  // an XXH3 streaming state, made on first use

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  void* state_ = nullptr;
};

// The digest of a whole file of `expectedSize` bytes; nothing when it cannot
// be read completely (see above). Goes through the seam when one is set.
std::optional<ContentDigest> contentDigest(const std::string& path, int64_t expectedSize,
                                           ReadBuffer& buffer);
// The digest itself, without the seam: XXH3-128 over the file's bytes.
std::optional<ContentDigest> xxh3ContentDigest(const std::string& path, int64_t expectedSize,
                                               ReadBuffer& buffer);

// Test seam: replaces the digest of contentDigest (an empty function
// restores XXH3). For proving that a digest collision never merges files.
using DigestFunction = std::function<std::optional<ContentDigest>(
    const std::string& path, int64_t expectedSize, ReadBuffer& buffer)>;
void setDigestFunctionForTesting(DigestFunction function);

// The digest of the first min(kPrefixBytes, expectedSize) bytes.
std::optional<ContentDigest> prefixDigest(const std::string& path, int64_t expectedSize,
                                          ReadBuffer& buffer);

// The digest of the first (or, with `last`, the last) min(kPrefixBytes,
// expectedSize) bytes, read with the kernel's read-ahead off (only that
// block is wanted), with the file's place on the disk; nothing on the terms
// above.
// `cached`: the block was already in the page cache (a read that may not
// wait for the disk gave it whole), taken as a sign that the user has the
// file cached; a file read from the disk is not.
struct BlockDigest {
  ContentDigest digest;
  DiskPlace place;
  bool cached = false;
};
// With `missed`, only a block the page cache holds whole is read (the
// place is then the inode's, as the disk's order does not matter): when it
// is not, *missed is set and nothing is given, which is no failure.
std::optional<BlockDigest> blockDigest(const std::string& path, int64_t expectedSize, bool last,
                                       ReadBuffer& buffer, bool* missed = nullptr);

// True while a test has replaced the digest (such digests must not be kept).
bool digestFunctionReplaced();

// `failed` first: a result never set reads as a failure, never as a match.
enum class CompareResult { failed, equal, different };

// Compares every file of `others` with `reference`, all of `size` bytes,
// reading them side by side so that each is read once (the reference once
// per batch of at most kMaxOpenFiles others). The first chunk is
// kPrefixBytes, so files that differ early cost little. A result per
// other; `failed` for an other that cannot be read, and for all of them when
// the reference cannot. With `referenceDigest`, the XXH3-128 digest of the
// reference is put there when the whole reference was read.
inline constexpr size_t kMaxOpenFiles = 64;
std::vector<CompareResult> compareWithReference(
    const std::string& reference, const std::vector<std::string>& others, int64_t size,
    ReadBuffer& buffer, std::optional<ContentDigest>* referenceDigest = nullptr);

// Reads all of `paths` (each of `size` bytes, at most kMaxOpenFiles of
// them) side by side, each once: every file is digested (XXH3-128) and every
// file after the first is compared byte for byte with the first as long as
// the two agree. Per path: the digest, nothing when the file could not be
// read whole; and `equal` or `different` against the first (`equal` for the
// first itself), `failed` when either of the two could not be read whole.
// Everything is nothing and `failed` once reading is suspended. With the
// digest seam set, the digest of every file read whole comes from it.
struct SideBySide {
  std::vector<std::optional<ContentDigest>> digests;
  std::vector<CompareResult> withFirst;
};
SideBySide readSideBySide(const std::vector<std::string>& paths, int64_t size, ReadBuffer& buffer);

// True once SwiftFileHashUnit's scanState is `suspend`.
bool readingSuspended();

}  // namespace orvexa::duplicate_internal
