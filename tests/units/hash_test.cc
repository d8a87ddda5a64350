#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "orvexa/units/file_hash.h"
#include "orvexa/units/md5.h"
#include "orvexa/units/swift_file_hash.h"
#include "support/run_program.h"
#include "support/shared_checks.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

std::string pseudoRandomBytes(size_t size, uint64_t seed) {
  const std::vector<uint8_t> bytes = testing::noiseBytes(size, seed);
  return std::string(bytes.begin(), bytes.end());
}

// First word of a command's output (the digest column of md5sum/sha512sum).
std::string firstWordOf(const std::string& command) {
  const std::string out = testing::shellOutput(command);
  return out.substr(0, out.find_first_of(" \n"));
}

// The shared instance outlives every test: whatever a test does to
// scanState, the next one starts from `start`.
struct ScanStateGuard {
  ScanStateGuard() { SwiftFileHashUnit::shard().scanState = static_cast<int>(ScanState::start); }
  ~ScanStateGuard() { SwiftFileHashUnit::shard().scanState = static_cast<int>(ScanState::start); }
};

// Against coreutils, at the sizes where chunked readers go wrong; unreadable
// paths give none or empty text; a suspended scan cancels only the scan's
// hasher, and it works again after a restart.
TEST(SwiftFileHashConcurrencyTest, HashersAgreeWithCoreutilsFailWithoutThrowingAndRunInParallel) {
  ScanStateGuard guard;
  testing::TempDir dir;
  for (const std::string& content :
       {std::string(), pseudoRandomBytes(16 * 1024 + 1, 2), pseudoRandomBytes(1 << 20, 3),
        pseudoRandomBytes((3 << 20) + 12345, 4)}) {
    SCOPED_TRACE(content.size());
    const std::string path = dir.writeFile(std::to_string(content.size()), content);
    const std::string md5 = firstWordOf("md5sum '" + path + "'");
    ASSERT_EQ(md5.size(), 32u);
    EXPECT_EQ(SwiftFileHashUnit::shard().hashFile(path), md5);
    EXPECT_EQ(FileHash::md5HashOfFileAtPath(path), md5);
    EXPECT_EQ(FileHash::SHA512HashOfFileAtPath(path), firstWordOf("sha512sum '" + path + "'"));
  }
  for (const std::string& path : {dir / "missing/file", dir.path()}) {
    EXPECT_EQ(SwiftFileHashUnit::shard().hashFile(path).value_or("none") +
                  FileHash::md5HashOfFileAtPath(path) + FileHash::SHA512HashOfFileAtPath(path),
              "none")
        << path;
  }
  const std::string abc = dir.writeFile("abc", "abc");
  SwiftFileHashUnit::shard().scanState = static_cast<int>(ScanState::suspend);
  EXPECT_EQ(SwiftFileHashUnit::shard().hashFile(abc), std::nullopt);
  SwiftFileHashUnit::shard().scanState = static_cast<int>(ScanState::end);
  EXPECT_EQ(SwiftFileHashUnit::shard().hashFile(abc), "900150983cd24fb0d6963f7d28e17f72");

  // The worker drives a caller-supplied context: a context that fails or
  // throws gives empty text instead of a digest or an escaping exception.
  // Every step fails the same way; one failing and one throwing (the state is
  // of another type: bad_any_cast) stand for all.
  const decltype(ComputationContext::update) updates[] = {
      [](auto&, const uint8_t*, size_t) { return false; },
      [](std::any& state, const uint8_t*, size_t) { return std::any_cast<int&>(state) == 0; }};
  for (const auto& update : updates) {
    ComputationContext context = FileHash::md5Context();
    context.update = update;
    EXPECT_EQ(FileHash::hashOfFileAtPath(abc, context), "");
  }

  // The digest of a text is upper case, of its UTF-8 bytes ("é" here), bytes
  // after a NUL included.
  EXPECT_EQ(MD5("\xC3\xA9") + " " + MD5(std::string("a\0b", 3)),
            "66DDCD97CFDEABB2F6FB8A999B4BC76F 70350F6027BCE3713F6B76473084309B");

  // Parallel calls each get their own digest.
  std::vector<std::string> paths;
  std::vector<std::optional<std::string>> expected, got(4);
  for (size_t i = 0; i < 4; ++i) {
    paths.push_back(dir.writeFile(std::to_string(i), pseudoRandomBytes(300'000 + i, 10 + i)));
    expected.push_back(FileHash::md5HashOfFileAtPath(paths.back()));
  }
  std::vector<std::thread> threads;
  for (size_t i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 2; ++round)
        got[i] = SwiftFileHashUnit::shard().hashFile(paths[i]);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace orvexa
