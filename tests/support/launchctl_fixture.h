// Stand-ins for the login-item tests: a launchctl that prints a given
// print-disabled listing and records how it was called, and application
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

// A launchctl at <root>/fake-tools/launchctl: every run appends its
// arguments as one line to <root>/launchctl.log; "print-disabled" prints
// `listing`. Returns the program's path.
inline std::string fakeLaunchctl(const Sandbox& sb, const std::string& listing) {
  sb.file("/fake-tools/print-disabled.txt", listing);
  const std::string program =
      sb.file("/fake-tools/launchctl", "#!/bin/sh\necho \"$@\" >> '" + sb.path("/launchctl.log") +
                                           "'\nif [ \"$1\" = print-disabled ]; then cat '" +
                                           sb.path("/fake-tools/print-disabled.txt") + "'; fi\n");
  ::chmod(program.c_str(), 0755);
  return program;
}

// An application bundle at <root>/Applications/<name>.app whose executable
// Contents/MacOS/<name> holds `executable` (made executable).
inline std::string installApplication(const Sandbox& sb, const std::string& name,
                                      const std::string& identifier,
                                      const std::string& executable = "#!/bin/sh\n") {
  const std::string app = sb.path("/Applications/" + name + ".app");
  std::filesystem::create_directories(app + "/Contents/MacOS");
  PlistValue info(PlistValue::Dictionary{
      {{"CFBundleIdentifier", identifier}, {"CFBundleExecutable", name}, {"CFBundleName", name}}});
  EXPECT_TRUE(writePlistFile(app + "/Contents/Info.plist", info, PlistFormat::Xml));
  const std::string program =
      sb.file("/Applications/" + name + ".app/Contents/MacOS/" + name, executable);
  ::chmod(program.c_str(), 0755);
  return app;
}

}  // namespace orvexa::testing
