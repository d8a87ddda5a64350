#include "orvexa/platform/bundle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "orvexa/platform/plist.h"
#include "support/plist_values.h"
#include "support/sandbox.h"
#include "support/temp_dir.h"

namespace orvexa {
namespace {

using testing::plistDict;
using testing::Sandbox;
using testing::TempDir;

// Writes folder/Contents/Info.plist with `info`; returns the folder.
std::string writeBundle(const std::string& folder, const PlistValue& info, PlistFormat format) {
  std::filesystem::create_directories(folder + "/Contents");
  std::string error;
  EXPECT_TRUE(writePlistFile(folder + "/Contents/Info.plist", info, format, &error)) << error;
  return folder;
}

TEST(BundleTest, NamesComeFromInfoPlist) {
  TempDir dir;
  // Rows: label, Info.plist besides the identifier, the names expected.
  const std::tuple<const char*, PlistValue, std::string, std::string> cases[] = {
      {"display name wins",
       plistDict({{"CFBundleDisplayName", "Shown"},
                  {"CFBundleName", "Plain"},
                  {"CFBundleExecutable", "run"}}),
       "Shown", "run"},
      {"empty display name counts as absent",
       plistDict({{"CFBundleDisplayName", ""}, {"CFBundleName", "Plain"}}), "Plain", ""},
      {"file name last", PlistValue::dictionary(), "My Tool", ""},
      {"names of the wrong type are ignored",
       plistDict({{"CFBundleDisplayName", int64_t{3}}, {"CFBundleExecutable", true}}), "My Tool",
       ""},
      {"an executable outside Contents/MacOS is not taken",
       plistDict({{"CFBundleExecutable", "../../x"}}), "My Tool", ""},
  };
  for (const auto& [label, given, localizedName, executable] : cases) {
    SCOPED_TRACE(label);
    std::filesystem::remove_all(dir / "My Tool.app");
    PlistValue info = given;
    info.set("CFBundleIdentifier", "org.example.a");
    const std::string folder = writeBundle(dir / "My Tool.app", info, PlistFormat::Xml);
    std::optional<ApplicationBundle> bundle = readApplicationBundle(folder + "/");
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->path, folder);
    EXPECT_EQ(bundle->bundleIdentifier, "org.example.a");
    EXPECT_EQ(bundle->name, "My Tool");
    EXPECT_EQ(bundle->localizedName, localizedName);
    EXPECT_EQ(bundle->executableName, executable);
    EXPECT_EQ(bundle->executablePath(),
              executable.empty() ? "" : folder + "/Contents/MacOS/" + executable);
  }
}

TEST(BundleTest, WhatIsNotAnApplicationAndTheSearchByIdentifier) {
  TempDir dir;
  const std::string missing = dir / "Missing.app";
  dir.makeDir("Empty.app/Contents");
  dir.writeFile("Garbage.app/Contents/Info.plist", "<?xml garbage");
  PlistValue array = PlistValue::array();
  array.append("CFBundleIdentifier");
  writeBundle(dir / "Array.app", array, PlistFormat::Xml);
  writeBundle(dir / "NoId.app", plistDict({{"CFBundleName", "x"}}), PlistFormat::Xml);
  writeBundle(dir / "EmptyId.app", plistDict({{"CFBundleIdentifier", ""}}), PlistFormat::Binary);
  writeBundle(dir / "NumberId.app", plistDict({{"CFBundleIdentifier", int64_t{7}}}),
              PlistFormat::Binary);
  dir.makeDir("Folder.app/Contents/Info.plist");

  for (std::string path :
       {missing, dir / "Empty.app", dir / "Garbage.app", dir / "Array.app", dir / "NoId.app",
        dir / "EmptyId.app", dir / "NumberId.app", dir / "Folder.app", std::string()}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(readApplicationBundle(path));
  }

  // Each bundle's identifier is its name; `found` when the search returns it:
  // the applications folders only, the system's first, not inside another
  // bundle or a hidden folder, applications only, identifiers matched exactly.
  Sandbox sb;
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
  EXPECT_FALSE(applicationForBundleIdentifier("tool.app"));
  EXPECT_FALSE(applicationForBundleIdentifier(""));
}

}  // namespace
}  // namespace orvexa
