#include "orvexa/platform/bundle.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "orvexa/platform/last_used.h"
#include "orvexa/platform/plist.h"
#include "support/plist_values.h"
#include "support/sandbox.h"
#include "support/shared_checks.h"

namespace orvexa {
namespace {

using testing::plistDict;
using testing::setTimes;
using testing::TempDir;
using Clock = std::chrono::system_clock;

// Writes folder/Contents/Info.plist with `info` and each of `executables`
// in Contents/MacOS; returns the folder.
std::string writeBundle(const std::string& folder, const PlistValue& info,
                        PlistFormat format = PlistFormat::Xml,
                        const std::vector<std::string>& executables = {}) {
  std::filesystem::create_directories(folder + "/Contents/MacOS");
  std::string error;
  EXPECT_TRUE(writePlistFile(folder + "/Contents/Info.plist", info, format, &error)) << error;
  for (const std::string& name : executables)
    std::ofstream(folder + "/Contents/MacOS/" + name) << "\177ELF";
  return folder;
}

constexpr time_t kInstalled = 1'700'000'000;

// Each row: Info.plist, then "localized name|executable".
TEST(BundleTest, NamesComeFromInfoPlistTheSearchMatchesIdentifiersAndLastUseIsAnAccess) {
  TempDir dir;
  // clang-format off
  const std::tuple<const char*, PlistValue, std::string> cases[] = {
      {"display name wins", plistDict({{"CFBundleIdentifier", "org.example.a"}, {"CFBundleDisplayName", "Shown"}, {"CFBundleName", "Plain"}, {"CFBundleExecutable", "run"}}), "Shown|/My Tool.app/Contents/MacOS/run"},
      {"empty display name counts as absent", plistDict({{"CFBundleIdentifier", "org.example.a"}, {"CFBundleDisplayName", ""}, {"CFBundleName", "Plain"}}), "Plain|"},
      {"names of the wrong type are ignored", plistDict({{"CFBundleIdentifier", "org.example.a"}, {"CFBundleDisplayName", int64_t{3}}, {"CFBundleExecutable", true}}), "My Tool|"},
      {"an executable outside Contents/MacOS is not taken", plistDict({{"CFBundleIdentifier", "org.example.a"}, {"CFBundleExecutable", "../../x"}}), "My Tool|"},
  };
  // clang-format on
  for (const auto& [label, info, names] : cases) {
    SCOPED_TRACE(label);
    std::filesystem::remove_all(dir / "My Tool.app");
    const std::string folder = writeBundle(dir / "My Tool.app", info);
    std::optional<ApplicationBundle> b = readApplicationBundle(folder + "/");
    ASSERT_TRUE(b);
    const std::string executable = b->executablePath();
    EXPECT_EQ(b->path + " " + b->bundleIdentifier + " " + b->name + " " + b->localizedName + "|" +
                  (executable.empty() ? "" : executable.substr(dir.path().size())),
              folder + " org.example.a My Tool " + names);
  }

  dir.makeDir("Empty.app/Contents");
  writeBundle(dir / "Array.app", PlistValue(PlistValue::Array{"CFBundleIdentifier"}));
  writeBundle(dir / "EmptyId.app", plistDict({{"CFBundleIdentifier", ""}}), PlistFormat::Binary);
  for (std::string name : {"Empty.app", "Array.app", "EmptyId.app"})
    EXPECT_FALSE(readApplicationBundle(dir / name)) << name;
  EXPECT_FALSE(readApplicationBundle(""));

  // Each bundle's identifier is its name; `found` when the search returns it:
  // the applications folders only, the system's first, not inside another
  // bundle or a hidden folder, applications only, identifiers matched exactly.
  testing::Sandbox sb;
  const std::pair<std::string, bool> bundles[] = {
      {"/Applications/Utilities/Tool.app", true},
      {"/System/Applications/Calc.app", true},
      {"~/Applications/Mine.app", true},
      {"/Applications/Both.app", true},
      {"~/Applications/Both.app", false},
      {"/Applications/Host.app/Contents/Helpers/Inner.app", false},
      {"/Applications/.Hidden/Secret.app", false},
      {"/Applications/Plugin.bundle", false},
      {"/Elsewhere/Away.app", false},
  };
  auto identifier = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
  for (const auto& [path, found] : bundles)
    writeBundle(sb.path(path), plistDict({{"CFBundleIdentifier", identifier(path)}}),
                PlistFormat::Binary);
  for (const auto& [path, found] : bundles) {
    const auto bundle = applicationForBundleIdentifier(identifier(path));
    EXPECT_EQ(bundle && bundle->path == sb.path(path), found) << path;
  }
  for (const char* id : {"tool.app", ""}) EXPECT_FALSE(applicationForBundleIdentifier(id)) << id;

  // A use is an access after the last write, of the executable Info.plist
  // names, else of the latest used file in Contents/MacOS. (Equal times and a
  // plain later read: the uninstall scan's unused-application test.)
  // Rows: label, the executable named, access times of the executables (each
  // written at kInstalled), the use expected (0: none).
  using Times = std::vector<std::pair<const char*, time_t>>;
  const std::tuple<const char*, const char*, Times, time_t> uses[] = {
      // clang-format off
      {"read a second after", "main", {{"main", kInstalled + 1}}, kInstalled + 1},
      {"a helper's use does not count", "main", {{"main", kInstalled}, {"helper", kInstalled + 5}}, 0},
      {"none named: the latest", "", {{"a", kInstalled + 5}, {"b", kInstalled + 9}}, kInstalled + 9},
      {"the named one missing is not replaced", "main", {{"other", kInstalled + 5}}, 0},
      // clang-format on
  };
  int n = 0;
  for (const auto& [label, named, times, want] : uses) {
    SCOPED_TRACE(label);
    PlistValue info = plistDict({{"CFBundleIdentifier", "org.example.app"}});
    if (*named) info.set("CFBundleExecutable", named);
    std::vector<std::string> files;
    for (const auto& entry : times) files.push_back(entry.first);
    const std::string bundle =
        writeBundle(dir / ("App" + std::to_string(n++) + ".app"), info, PlistFormat::Xml, files);
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

  // Looking at a bundle is not a use: neither reads the executable. Reading
  // it is, unless the volume keeps no access times.
  const std::string bundle = writeBundle(
      dir / "Real.app",
      plistDict({{"CFBundleIdentifier", "org.example.real"}, {"CFBundleExecutable", "main"}}),
      PlistFormat::Xml, {"main"});
  const std::string executable = bundle + "/Contents/MacOS/main";
  const time_t now = Clock::to_time_t(Clock::now());
  ASSERT_NO_FATAL_FAILURE(setTimes(executable, now - 3600, now - 3600));
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
