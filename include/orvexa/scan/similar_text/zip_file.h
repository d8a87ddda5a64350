// ZipFile: a read-only ZIP archive, enough to take word-processing files
// apart: the names of its entries and the bytes of a named entry.
//
// Errors: nothing throws. An archive that cannot be opened gives no ZipFile
// (with the reason as text); an entry that is missing, corrupt (bad
// compressed data or checksum), encrypted, or larger than kMaxEntrySize once
// inflated gives no bytes. The size limit keeps a small crafted archive from
// inflating into gigabytes.
//
// Ownership and thread-safety: a ZipFile owns its open archive and closes it
// (without writing) when destroyed. One ZipFile must be used by one thread at
// a time; different ZipFiles may be used concurrently, also on the same file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvexa/platform/url.h"
#include "orvexa/units/gzip.h"

namespace orvexa {

class ZipFile {
 public:
  // The most bytes entryData returns; larger entries give nothing.
  static constexpr uint64_t kMaxEntrySize = uint64_t{128} << 20;

  // Opens the archive at `url`. Null when it does not exist or is not a ZIP
  // archive; `error`, when given, then receives the reason.
  static std::unique_ptr<ZipFile> open(const Url& url, std::string* error = nullptr);

  ~ZipFile();
  ZipFile(const ZipFile&) = delete;
  ZipFile& operator=(const ZipFile&) = delete;

  // The names of the entries, in the order of the archive's directory
  // (folders included, with their trailing "/").
  std::vector<std::string> entryNames() const;

  // The inflated bytes of the entry named exactly `name` (the first one when
  // several share it); nothing when it inflates to more than `maxSize`
  // (at most kMaxEntrySize), which is found before anything is inflated.
  std::optional<Data> entryData(const std::string& name, uint64_t maxSize = kMaxEntrySize) const;

 private:
  struct Archive;
  explicit ZipFile(std::unique_ptr<Archive> archive);

  std::unique_ptr<Archive> archive_;
};

}  // namespace orvexa
