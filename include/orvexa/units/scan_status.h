// The table of running scans: a feature's finderID -> ScanState raw value.
// It is the one table shared by every scan; every read and write takes the
// same lock. The scan engine exposes it as SuperScanService's scanStatus.
#pragma once

#include <cstdint>
#include <optional>

namespace orvexa {

enum class ScanState : int { start = 0, end = 1, suspend = 2 };

class ScanStatusTable {
 public:
  static std::optional<int> get(int64_t key);
  // True when the entry exists and is `suspend`.
  static bool isSuspended(int64_t key);
  static void set(int64_t key, ScanState state);
  // Sets `start` unless the entry already is `start`; false when it was
  // (a scan of that feature is running). One atomic step.
  static bool tryStart(int64_t key);
  // Sets `suspend` unless the entry is `end` (the scan has already
  // finished: a late stop must not mark it stopped). One atomic step; false
  // when nothing changed.
  static bool suspendUnlessEnded(int64_t key);
  static void erase(int64_t key);
  static void clear();
};

}  // namespace orvexa
