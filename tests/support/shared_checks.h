// Small helpers that several test programs need: include this instead of
// writing another copy. Header-only; each is safe from any thread.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace orvexa::testing {

// Whether anything (a dangling link too) has this name; links not followed.
inline bool existsNoFollow(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Sets access and modification time (whole seconds) of `path` itself.
inline void setTimes(const std::string& path, time_t accessed, time_t modified) {
  struct timespec times[2] = {{accessed, 0}, {modified, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// Polls `condition` every millisecond until it holds (true) or `limit` has
// passed (false).
template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The bytes of a text, as the readers and codecs take them.
inline std::vector<uint8_t> bytesOf(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Reproducible bytes (xorshift) that neither compress nor repeat with any
// chunk size; each seed gives other bytes.
inline std::vector<uint8_t> noiseBytes(size_t size, uint64_t seed = 1) {
  std::vector<uint8_t> out(size);
  uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
  for (uint8_t& b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<uint8_t>(x);
  }
  return out;
}

}  // namespace orvexa::testing
