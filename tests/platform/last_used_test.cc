#include "orvexa/platform/last_used.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <filesystem>

#include "orvexa/platform/bundle.h"
#include "orvexa/platform/plist.h"
#include "support/shared_checks.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::setTimes;
using testing::TempDir;
using Clock = std::chrono::system_clock;

constexpr time_t kInstalled = 1'700'000'000;

// A bundle with the given executables in Contents/MacOS; `named` (may be
// empty) becomes "CFBundleExecutable".
std::string makeBundle(const TempDir& dir, const std::string& name, const std::string& named,
                       std::initializer_list<const char*> executables) {
  PlistValue info = PlistValue::dictionary();
  info.set("CFBundleIdentifier", "org.example." + name);
  if (!named.empty()) info.set("CFBundleExecutable", named);
  const std::string bundle = dir.makeDir(name + ".app/Contents/MacOS");
  EXPECT_TRUE(writePlistFile(dir / (name + ".app/Contents/Info.plist"), info, PlistFormat::Xml));
  for (const char* executable : executables) {
    dir.writeFile(name + ".app/Contents/MacOS/" + executable,
                  "\x7f"
                  "ELF");
  }
  return dir / (name + ".app");
}

TEST(LastUsedTest, AccessAfterTheLastWriteIsAUse) {
  TempDir dir;
  struct Case {
    const char* label;
    time_t accessed;
    time_t modified;
    bool used;
  } cases[] = {
      {"never read since written", kInstalled - 10, kInstalled, false},
      {"times equal (touched or copied)", kInstalled, kInstalled, false},
      {"read after install", kInstalled + 60, kInstalled, true},
      {"read a second after", kInstalled + 1, kInstalled, true},
  };
  const std::string bundle = makeBundle(dir, "App", "main", {"main"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_NO_FATAL_FAILURE(setTimes(bundle + "/Contents/MacOS/main", c.accessed, c.modified));
    std::optional<Clock::time_point> used = lastUsedDate(bundle);
    EXPECT_EQ(used.has_value(), c.used);
    if (used) {
      EXPECT_EQ(Clock::to_time_t(*used), c.accessed);
    }
    // The same judged on the executable itself.
    EXPECT_EQ(lastUsedDate(bundle + "/Contents/MacOS/main").has_value(), c.used);
  }
}

TEST(LastUsedTest, WhichFilesAreLookedAt) {
  TempDir dir;
  // Info.plist names the executable: a helper's use does not count.
  const std::string named = makeBundle(dir, "Named", "main", {"main", "helper"});
  ASSERT_NO_FATAL_FAILURE(setTimes(named + "/Contents/MacOS/main", kInstalled, kInstalled));
  ASSERT_NO_FATAL_FAILURE(setTimes(named + "/Contents/MacOS/helper", kInstalled + 5, kInstalled));
  EXPECT_FALSE(lastUsedDate(named));

  // None named: the latest use of any file in Contents/MacOS.
  const std::string unnamed = makeBundle(dir, "Unnamed", "", {"a", "b"});
  ASSERT_NO_FATAL_FAILURE(setTimes(unnamed + "/Contents/MacOS/a", kInstalled + 5, kInstalled));
  ASSERT_NO_FATAL_FAILURE(setTimes(unnamed + "/Contents/MacOS/b", kInstalled + 9, kInstalled));
  ASSERT_TRUE(lastUsedDate(unnamed));
  EXPECT_EQ(Clock::to_time_t(*lastUsedDate(unnamed)), kInstalled + 9);

  // A named executable that is missing is not replaced by other files.
  const std::string gone = makeBundle(dir, "Gone", "main", {"other"});
  ASSERT_NO_FATAL_FAILURE(setTimes(gone + "/Contents/MacOS/other", kInstalled + 5, kInstalled));
  EXPECT_FALSE(lastUsedDate(gone));

  for (std::string path : {dir / "Nothing.app", std::string(), dir.makeDir("Bare.app")}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(lastUsedDate(path));
  }
}

TEST(LastUsedTest, ReadingTheExecutableRecordsAUseUnlessTheVolumeKeepsNoAccessTimes) {
  TempDir dir;
  const std::string bundle = makeBundle(dir, "Real", "main", {"main"});
  const std::string executable = bundle + "/Contents/MacOS/main";
  const time_t now = Clock::to_time_t(Clock::now());
  ASSERT_NO_FATAL_FAILURE(setTimes(executable, now - 3600, now - 3600));
  // Looking at the bundle is not a use: neither reads the executable.
  ASSERT_TRUE(readApplicationBundle(bundle));
  EXPECT_FALSE(lastUsedDate(bundle));
  EXPECT_FALSE(lastUsedDate(bundle));

  struct statvfs volume {};
  ASSERT_EQ(::statvfs(executable.c_str(), &volume), 0);
  if ((volume.f_flag & ST_NOATIME) != 0) GTEST_SKIP() << "the volume keeps no access times";
  EXPECT_EQ(testing::readFile(executable),
            "\x7f"
            "ELF");
  ASSERT_TRUE(lastUsedDate(bundle)) << "a first read after a write is always recorded";
  EXPECT_GE(Clock::to_time_t(*lastUsedDate(bundle)), now - 1);
}

}  // namespace
}  // namespace orvexa
