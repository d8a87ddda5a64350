#include "orvexa/platform/last_used.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <filesystem>
#include <tuple>

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
                       const std::vector<std::string>& executables) {
  PlistValue info = PlistValue::dictionary();
  info.set("CFBundleIdentifier", "org.example." + name);
  if (!named.empty()) info.set("CFBundleExecutable", named);
  const std::string bundle = dir.makeDir(name + ".app/Contents/MacOS");
  EXPECT_TRUE(writePlistFile(dir / (name + ".app/Contents/Info.plist"), info, PlistFormat::Xml));
  for (const std::string& executable : executables)
    dir.writeFile(name + ".app/Contents/MacOS/" + executable, "\177ELF");
  return dir / (name + ".app");
}

// A use is an access after the last write, of the executable Info.plist
// names, else of the latest used file in Contents/MacOS; `used` is the access
// time expected, 0 for none.
TEST(LastUsedTest, AccessAfterTheLastWriteIsAUse) {
  TempDir dir;
  // Rows: label, the executable named, access times of the executables (each written at
  // kInstalled), the use expected (0: none).
  using Times = std::vector<std::pair<const char*, time_t>>;
  const std::tuple<const char*, const char*, Times, time_t> cases[] = {
      // clang-format off
      {"never read since written", "main", {{"main", kInstalled - 10}}, 0},
      {"times equal (touched or copied)", "main", {{"main", kInstalled}}, 0},
      {"read after install", "main", {{"main", kInstalled + 60}}, kInstalled + 60},
      {"read a second after", "main", {{"main", kInstalled + 1}}, kInstalled + 1},
      {"a helper's use does not count", "main", {{"main", kInstalled}, {"helper", kInstalled + 5}}, 0},
      {"none named: the latest", "", {{"a", kInstalled + 5}, {"b", kInstalled + 9}}, kInstalled + 9},
      {"the named one missing is not replaced", "main", {{"other", kInstalled + 5}}, 0},
      // clang-format on
  };
  int n = 0;
  for (const auto& [label, named, times, want] : cases) {
    SCOPED_TRACE(label);
    const std::string name = "App" + std::to_string(n++);
    std::vector<std::string> files;
    for (const auto& entry : times) files.push_back(entry.first);
    const std::string bundle = makeBundle(dir, name, named, files);
    for (const auto& [file, accessed] : times)
      ASSERT_NO_FATAL_FAILURE(setTimes(bundle + "/Contents/MacOS/" + file, accessed, kInstalled));
    std::optional<Clock::time_point> used = lastUsedDate(bundle);
    EXPECT_EQ(used ? Clock::to_time_t(*used) : 0, want);
    if (files == std::vector<std::string>{"main"}) {  // judged on the executable itself
      EXPECT_EQ(lastUsedDate(bundle + "/Contents/MacOS/main").has_value(), want != 0);
    }
  }
  for (std::string path : {dir / "Nothing.app", std::string(), dir.makeDir("Bare.app")})
    EXPECT_FALSE(lastUsedDate(path)) << path;
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
  EXPECT_EQ(testing::readFile(executable), "\177ELF");
  ASSERT_TRUE(lastUsedDate(bundle)) << "a first read after a write is always recorded";
  EXPECT_GE(Clock::to_time_t(*lastUsedDate(bundle)), now - 1);
}

}  // namespace
}  // namespace orvexa
