// Content digest of one file for the duplicate scan, cancellable while it
// reads.
//
// Thread-safety: shard() is created on first use, thread-safely, and lives
// for the process. hashFile may run on any number of threads at once; each
// call owns its descriptor, buffer and digest state. scanState is atomic: the
// scan engine's stop writes `suspend` from any thread and running calls see it
// before their next 16 KiB read.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "orvexa/units/scan_status.h"

namespace orvexa {

// The duplicate scan's file hasher and, in scanState, the library-wide flag
// that cancels every hash in flight (the name is historical: no Swift here).
class SwiftFileHashUnit {
 public:
  // The one instance ("shard" is the historical spelling of shared(), as in
  // Paths::shared()).
  static SwiftFileHashUnit& shard();

  SwiftFileHashUnit(const SwiftFileHashUnit&) = delete;
  SwiftFileHashUnit& operator=(const SwiftFileHashUnit&) = delete;

  // A ScanState raw value. The engine's stop sets `suspend` when the
  // duplicate-files feature is stopped; the duplicate scan sets `start` when
  // it begins.
  std::atomic<int> scanState{static_cast<int>(ScanState::start)};

  // MD5 of the file's bytes as 32 lower-case hex digits. Nothing when
  // scanState is `suspend` (checked before the file is opened and before
  // every 16,384-byte read), when the file cannot be opened (missing,
  // vanished, no permission) or when a read fails, including partway through:
  // a partial digest is never returned.
  std::optional<std::string> hashFile(const std::string& path) const;

 private:
  SwiftFileHashUnit() = default;
  bool suspended() const;
};

}  // namespace orvexa
