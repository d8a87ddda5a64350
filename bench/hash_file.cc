// Content-hash throughput of the duplicate scan against `openssl dgst -md5`
// on the same file in the same run. Target: ours / openssl <= 1.1.
//
//   bench_hash_file [FILE]
//
// Without FILE, a 1 GiB file of pseudo-random bytes is written to a fresh
// folder under $TMPDIR (or /tmp) and removed afterwards. Each side runs three
// times, interleaved, and the best wall-clock time counts; the first pass of
// each also warms the page cache, so both read from memory.
#include <fmt/core.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvexa/units/swift_file_hash.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kFileBytes = uint64_t{1} << 30;
constexpr int kRounds = 3;
constexpr double kTarget = 1.1;

bool writeTestFile(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  uint64_t x = 0x243F6A8885A308D3ULL;
  for (uint64_t written = 0; written < kFileBytes && out; written += block.size() * 8) {
    for (uint64_t& word : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      word = x;
    }
    out.write(reinterpret_cast<const char*>(block.data()),
              static_cast<std::streamsize>(block.size() * 8));
  }
  return static_cast<bool>(out.flush());
}

std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The digest openssl prints with -r ("<hex> *<file>").
std::optional<std::string> opensslMd5(const std::string& path) {
  const std::string command = "openssl dgst -md5 -r " + shellQuoted(path);
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return std::nullopt;
  std::string out;
  char buffer[256];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) out.append(buffer, n);
  if (pclose(pipe.release()) != 0) return std::nullopt;
  const std::string digest = out.substr(0, out.find(' '));
  if (digest.size() != 32) return std::nullopt;
  return digest;
}

template <typename F>
double seconds(F&& f) {
  const auto begin = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - begin).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  std::string scratch;
  if (argc > 1) {
    path = argv[1];
  } else {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/orvexa-bench-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    scratch = folder;
    path = scratch + "/1GiB.bin";
    fmt::print("writing {} bytes to {}\n", kFileBytes, path);
    std::fflush(stdout);
    if (!writeTestFile(path)) {
      fmt::print(stderr, "cannot write {}\n", path);
      return 1;
    }
  }

  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec) {
    fmt::print(stderr, "cannot stat {}: {}\n", path, ec.message());
    return 1;
  }

  double ours = 1e30;
  double theirs = 1e30;
  std::optional<std::string> ourDigest;
  std::optional<std::string> theirDigest;
  for (int round = 0; round < kRounds; ++round) {
    const double ourTime =
        seconds([&] { ourDigest = orvexa::SwiftFileHashUnit::shard().hashFile(path); });
    const double theirTime = seconds([&] { theirDigest = opensslMd5(path); });
    fmt::print("round {}: ours {:.3f} s, openssl {:.3f} s\n", round + 1, ourTime, theirTime);
    std::fflush(stdout);
    ours = std::min(ours, ourTime);
    theirs = std::min(theirs, theirTime);
  }

  if (!scratch.empty()) fs::remove_all(scratch, ec);

  const double mib = static_cast<double>(size) / (1024.0 * 1024.0);
  fmt::print("file: {} bytes\n", size);
  fmt::print("hashFile:         {:.3f} s  ({:.0f} MiB/s)  {}\n", ours, mib / ours,
             ourDigest.value_or("(none)"));
  fmt::print("openssl dgst -md5 {:.3f} s  ({:.0f} MiB/s)  {}\n", theirs, mib / theirs,
             theirDigest.value_or("(none)"));
  const bool same = ourDigest && theirDigest && *ourDigest == *theirDigest;
  const double ratio = ours / theirs;
  fmt::print("digests {}\n", same ? "match" : "DIFFER");
  fmt::print("ratio ours/openssl: {:.3f} (target <= {:.1f}) {}\n", ratio, kTarget,
             ratio <= kTarget ? "OK" : "MISSED");
  std::fflush(stdout);
  return same && ratio <= kTarget ? 0 : 1;
}
