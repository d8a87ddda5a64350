// Internal: turns sets of same-size files (and of same-size folders) into
// groups of byte-identical ones, reading on the global pool.
//
// Files, per set of one size: first the digest of each file's first 4 KiB,
// then, of the files that share it, of their last 4 KiB (small reads, the
// kernel's read-ahead off), the set split by both; what survives is read in
// full:
//   2 files     compared byte for byte, side by side (each read once; the
//               first chunk is 4 KiB, so files that differ early cost little)
//   3 to 64     read side by side, each once: those alike with the first
//               member are a group; the others are keyed by the digest of
//               their whole content, and members of one digest are grouped
//               among themselves by further comparisons.
//   more        split by a digest of their whole content, and every digest
//               group confirmed byte for byte against its first member.
//               Members that differ despite an equal digest are grouped
//               among themselves by further comparisons.
// With the digest cache, digests it knows are not read again, and a digest
// group whose members' digests all came from it is reported without the
// byte-for-byte confirmation (removal compares the bytes before it acts).
// Folders, per set of one size: the regular files below each are listed;
// folders whose files differ in number or sizes drop out; the others are
// keyed by their files' digests in walk order (digests already computed for
// the file groups are reused) and confirmed file by file. A folder that lies
// below another member of its group, or whose files are all the same inodes
// as the first member's, is not a copy of it and is left out.
//
// File reads run in each disk's order (the physical place of the file's
// first extent, found by the first read, else its inode), with one reader
// per rotating disk and a few per other device (read_plan.h). First blocks
// the page cache holds are read before the others, and files whose first
// block it held are read by a few readers whatever their disk: memory needs
// no order. A file whose
// decision is made has its cached pages dropped, unless its first block was
// in the page cache before the scan read it (the user's cache is left as it
// was), and only files not cached that way are asked to be read ahead. Folder reads run on at most
// dispatchGlobalCoreThreads() workers, largest first so that they finish
// together. Every worker has its own ReadBuffer.
// A file that cannot be read, or any read once SwiftFileHashUnit's
// scanState is `suspend`, drops the file (or folder) out. `done` is called
// once, on a pool thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "orvexa/units/dispatch.h"
#include "scan/duplicate/content_reader.h"
#include "scan/duplicate/folder_entries.h"

namespace orvexa::duplicate_internal {

struct Candidate {
  std::string path;
  int64_t size = 0;
  // Files only: the key of the digest cache, as the walk saw it.
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
};

struct MatchedGroup {
  // Unique among the groups of one run: the members' digest text, with
  // "#2", "#3", ... for further groups of one digest, or "=" followed by
  // the first member's path for a pair that was only compared.
  std::string key;
  std::vector<Candidate> members;  // in the order of the input set
};

using DigestCache = std::unordered_map<std::string, ContentDigest>;

// Runs work(i, buffer) for every i below `count` on up to `maxWorkers` pool
// workers (0: dispatchGlobalCoreThreads()), each with a ReadBuffer of its
// own, then `then` once, on the thread of the worker that finished last (on
// the caller's when count is 0).
void forEachParallel(size_t count, DispatchQoS qos, std::function<void(size_t, ReadBuffer&)> work,
                     std::function<void()> then, size_t maxWorkers = 0);

// `sets`: files of one size each, no two of one inode. With `cachePath`, the
// digest cache there (hash_cache.h) saves reads and learns what was read.
void matchFiles(std::vector<std::vector<Candidate>> sets, DispatchQoS qos,
                std::function<void(std::vector<MatchedGroup>, DigestCache)> done,
                const std::string& cachePath = {});

// `sets`: folders of one total size each, each path at most once.
void matchFolders(std::vector<std::vector<Candidate>> sets, DigestCache cache, DispatchQoS qos,
                  std::function<void(std::vector<MatchedGroup>)> done);

// Splits `members` (all `size` bytes) into groups of identical files by
// comparing them with one another; failed reads drop out. For the rare case
// of equal digests over different content.
std::vector<std::vector<size_t>> splitByComparison(const std::vector<std::string>& members,
                                                   int64_t size, ReadBuffer& buffer);

}  // namespace orvexa::duplicate_internal
