// ShredFileService: overwrites one file in place with three fixed passes
// (0xFF, random bytes, 0x00) and reads it back, so that an undelete finds
// only zeros. The file is not removed here; the shredder and the privileged
// helper remove it afterwards.
//
// The report of shredFile has exactly one key, "TRUE" (overwritten and
// verified) or "FALSE" (not), whose value is the accumulated error text
// (empty on success). Error texts are printf-style with the pattern byte and
// errno filled in: "fopen 13", "255-fessk-2 5", "0-fwrite-1 28", ...
//
// Files below kBigFileSize are written with one buffer of their full size
// per pass; larger files with a 256-byte block, one seek and one write per
// block, then one seek and one write per byte of the rest. Every pass is
// flushed to the device before the next starts, so that the passes reach
// the disk and do not merely replace each other in the page cache.
//
// Random bytes come from rand() modulo 255 (so they range over 0..254).
//
// Thread-safety: one object per file and thread; different objects may run
// in parallel.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "orvexa/platform/url.h"

namespace orvexa {

// "TRUE" or "FALSE" -> the accumulated error text.
using ShredReport = std::map<std::string, std::string>;

class ShredFileService {
 public:
  static constexpr int64_t kBigFileSize = 26214400;  // 25 MiB: the block writer from here on
  static constexpr int64_t kBlockSize = 256;

  explicit ShredFileService(Url url) : url_(std::move(url)) {}

  const Url& url() const { return url_; }

  // Called after each pass that succeeded (1, 2, 3), before the next one
  // starts, with the number of write calls the pass made (1 for the one
  // buffer; blocks + rest for the block writer): a seam for looking at the
  // file between passes.
  using PassObserver = std::function<void(int pass, int64_t writes)>;
  void setPassObserver(PassObserver observer) { passObserver_ = std::move(observer); }

  // The three passes and the read-back; see the header comment.
  ShredReport shredFile();

  // One pass over a file below kBigFileSize: `asciiNumber` is the pattern
  // byte (0..255), ignored when `writeRandom`. Appends to `errorStr` and
  // stores it under "FALSE" on failure. True on success.
  bool writeData(const Url& url, int asciiNumber, std::string& errorStr, ShredReport& shredResult,
                 int64_t total_size, bool writeRandom);
  // The same pass, block by block, for files of kBigFileSize and more.
  bool bigFileWriteData(const Url& url, int asciiNumber, std::string& errorStr,
                        ShredReport& shredResult, int64_t total_size, bool writeRandom);
  // True when every byte of the file equals `verificationAsciiNumber`;
  // otherwise appends the reason and stores it under "FALSE".
  bool verificationData(const Url& url, int verificationAsciiNumber, std::string& errorStr,
                        ShredReport& shredResult);

 private:
  Url url_;
  PassObserver passObserver_;
  int64_t passWrites_ = 0;  // write calls of the last pass
};

}  // namespace orvexa
