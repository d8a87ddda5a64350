// Stand-ins for system tools (a launchctl that prints a given print-disabled
// listing among them) that record how they were called, and application
// bundles in a sandbox's applications folder.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "orvexa/platform/plist.h"
#include "support/sandbox.h"

namespace orvexa::testing {

// A listing shaped like the tool's own output.
inline std::string printDisabledListing(const std::string& disabledLines,
                                        const std::string& associationLines) {
  return "disabled services = {\n" + disabledLines + "}\n\nlogin item associations = {\n" +
         associationLines + "}\n";
}

// A stand-in for a system tool: a shell script that appends its arguments,
// one line per run, to `log` and prints `output`.
inline std::string fakeTool(const Sandbox& sb, const std::string& name, const std::string& log,
                            const std::string& output) {
  const std::string path = sb.file("/fake-tools/" + name, "#!/bin/sh\necho \"$@\" >> '" + log +
                                                              "'\nprintf '%s' '" + output + "'\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

// A launchctl at <root>/fake-tools/launchctl (see fakeTool) whose every run
// is a line of <root>/launchctl.log and prints `listing`.
inline std::string fakeLaunchctl(const Sandbox& sb, const std::string& listing) {
  return fakeTool(sb, "launchctl", sb.path("/launchctl.log"), listing);
}

// An application bundle at <root>/Applications/<name>.app whose executable
// Contents/MacOS/<name> holds `executable` (made executable).
inline std::string installApplication(const Sandbox& sb, const std::string& name,
                                      const std::string& identifier,
                                      const std::string& executable = "#!/bin/sh\n") {
  const std::string app = sb.path("/Applications/" + name + ".app");
  ::chmod(writeFileAt(app + "/Contents/MacOS/" + name, executable).c_str(), 0755);
  PlistValue info(PlistValue::Dictionary{
      {{"CFBundleIdentifier", identifier}, {"CFBundleExecutable", name}, {"CFBundleName", name}}});
  EXPECT_TRUE(writePlistFile(app + "/Contents/Info.plist", info, PlistFormat::Xml));
  return app;
}

}  // namespace orvexa::testing
