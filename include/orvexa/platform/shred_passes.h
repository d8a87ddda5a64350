// ShredFileService: overwrites one file in place with three fixed passes
// (0xFF, random bytes, 0x00) and reads it back, so that an undelete finds
// only zeros. shredFile does not remove the file; removeFile does, from the
// folder the passes found it in. It sits in platform, below both the
// shredder service (toolkits) and the privileged helper, which each run it.
//
// Reaching the file: shredFile opens every folder of the path from "/"
// relative to the one before, without following links (O_NOFOLLOW), and
// the file itself the same way, read-write and WITHOUT truncating. The
// passes, the read-back and removeFile use only those descriptors, never
// the path again, so a link swapped in for the file or one of its folders
// during the run cannot redirect a write. A path with a symbolic link
// anywhere in it is refused. Departures from a shredder that reopens the
// file with "wb+" for each pass, each deliberate:
// - no truncation: a truncating open frees the file's blocks and writes the
//   passes into new ones, leaving the old content on the disk; here the
//   file's own blocks are overwritten;
// - only the allocated ranges of a sparse file are written (SEEK_DATA /
//   SEEK_HOLE; a hole holds no old content), never more bytes than the file
//   holds and never past its size, so a large sparse file cannot fill the
//   file system;
// - an empty file has nothing to overwrite: it reports "TRUE" with no pass;
// - a file with other hard links (st_nlink > 1) is not overwritten unless
//   setOverwriteHardLinks(true): its content is also the content of its
//   other names. The report is "FALSE" with "the file has N other hard
//   link(s): not overwritten, so that the content they share survives".
//
// The report of shredFile has exactly one key, "TRUE" (overwritten and
// verified) or "FALSE" (not), whose value is the accumulated error text
// (empty on success). Error texts are printf-style with the pattern byte and
// errno filled in: "fopen 13" (the file could not be opened), "255-fwrite-1
// 28", "Verification Data Fail!", ...
//
// Files below kBigFileSize are written with one buffer per allocated range
// and pass; larger files with a 256-byte block, one write per block, then
// one write per byte of the rest. Every pass is flushed to the device
// (fsync) before the next starts, so that the passes reach the disk and do
// not merely replace each other in the page cache.
//
// Random bytes come from rand() modulo 255 (so they range over 0..254).
//
// Ownership: the object owns the descriptors shredFile opened until it is
// destroyed. Thread-safety: one object per file and thread; different
// objects may run in parallel.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "orvexa/platform/url.h"

namespace orvexa {

// "TRUE" or "FALSE" -> the accumulated error text.
using ShredReport = std::map<std::string, std::string>;

class ShredFileService {
 public:
  static constexpr int64_t kBigFileSize = 26214400;  // 25 MiB: the block writer from here on
  static constexpr int64_t kBlockSize = 256;
  static constexpr const char* kLinkText =
      "is a symbolic link or lies in a folder reached through one: shred does not follow links";

  // One allocated range of the file.
  struct Extent {
    int64_t offset = 0;
    int64_t length = 0;
  };

  explicit ShredFileService(Url url) : url_(std::move(url)) {}
  ~ShredFileService();
  ShredFileService(const ShredFileService&) = delete;
  ShredFileService& operator=(const ShredFileService&) = delete;

  const Url& url() const { return url_; }

  void setOverwriteHardLinks(bool overwrite) { overwriteHardLinks_ = overwrite; }

  // Called after each pass that succeeded (1, 2, 3), before the next one
  // starts, with the number of write calls the pass made: a seam for looking
  // at (or tampering with) the file between passes.
  using PassObserver = std::function<void(int pass, int64_t writes)>;
  void setPassObserver(PassObserver observer) { passObserver_ = std::move(observer); }

  // Opens the file (see the header comment), runs the passes and the
  // read-back; see the header comment for the report.
  ShredReport shredFile();
  // The same on a descriptor the caller opened read-write on a regular file
  // (the caller keeps it; removeFile cannot be used then).
  ShredReport shredDescriptor(int fd);

  // After shredFile reported "TRUE": removes the name the file was found
  // under from the folder it was found in, when that name still is the file
  // shredded. False with the reason in `error` otherwise.
  bool removeFile(std::string* error);

  // The allocated ranges of the first `size` bytes of `fd` (the whole file
  // as one range where the file system cannot tell). False with errno set
  // on failure.
  static bool allocatedExtents(int fd, int64_t size, std::vector<Extent>* extents);

  // One pass over the ranges of a file below kBigFileSize: `asciiNumber` is
  // the pattern byte (0..255), ignored when `writeRandom`. Appends to
  // `errorStr` and stores it under "FALSE" on failure. True on success.
  bool writeData(int fd, int asciiNumber, std::string& errorStr, ShredReport& shredResult,
                 const std::vector<Extent>& extents, bool writeRandom);
  // The same pass, block by block, for files of kBigFileSize and more.
  bool bigFileWriteData(int fd, int asciiNumber, std::string& errorStr, ShredReport& shredResult,
                        const std::vector<Extent>& extents, bool writeRandom);
  // True when every byte of the ranges equals `verificationAsciiNumber`;
  // otherwise appends the reason and stores it under "FALSE".
  bool verificationData(int fd, int verificationAsciiNumber, std::string& errorStr,
                        ShredReport& shredResult, const std::vector<Extent>& extents);

 private:
  Url url_;
  bool overwriteHardLinks_ = false;
  PassObserver passObserver_;
  int64_t passWrites_ = 0;  // write calls of the last pass
  int parentFd_ = -1;       // the folder the file was found in
  int fileFd_ = -1;
  std::string name_;       // the file's name in parentFd_
  bool shredded_ = false;  // shredFile reported "TRUE"
};

}  // namespace orvexa
