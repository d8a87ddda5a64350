// File digests for the host: MD5 and SHA-512 of a file's content as
// lower-case hex, or the empty string when the file cannot be read to its end.
//
// Thread-safety: every operation keeps its state on the caller's stack, so
// any number of calls may run at once. The fixed contexts are immutable.
#pragma once

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace orvexa {

// How to compute one digest. The caller's operations own the state's type: the
// worker creates an empty `State` per file, initialise stores whatever the
// algorithm needs in it, update and finalise use it. Each operation returns
// false on failure, which makes the whole result the empty string; so does an
// exception thrown from one of them.
struct ComputationContext {
  using State = std::any;
  std::function<bool(State& state)> initialise;
  std::function<bool(State& state, const uint8_t* bytes, size_t count)> update;
  // Writes exactly digestLength bytes to `digest`.
  std::function<bool(uint8_t* digest, State& state)> finalise;
  size_t digestLength = 0;
};

class FileHash {
 public:
  FileHash() = delete;

  // 32 lower-case hex digits, or "".
  static std::string md5HashOfFileAtPath(const std::string& path);
  // 128 lower-case hex digits, or "".
  static std::string SHA512HashOfFileAtPath(const std::string& path);

  // Reads the file in 4,096-byte chunks through `context`: 2 x digestLength
  // lower-case hex digits, or "" when the file cannot be opened, a read fails,
  // or an operation of the context fails.
  static std::string hashOfFileAtPath(const std::string& path, const ComputationContext& context);

  // The two fixed contexts (digest lengths 16 and 64).
  static const ComputationContext& md5Context();
  static const ComputationContext& sha512Context();
};

}  // namespace orvexa
