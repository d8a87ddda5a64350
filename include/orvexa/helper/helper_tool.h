// The privileged helper program (orvexa-helper): reads its configuration,
// serves HelperServer on its socket until asked to end, and exits.
//
//   orvexa-helper --launchd-plist FILE
//       the launch-daemon property list written at installation: "Label",
//       "Program", "SocketPath", "AllowedUserID" and optional "RootFolder"
//       (the paths table's root) and "Layout" ("macos" or "linux", the
//       paths table's layout; default the host's); uninstall removes
//       "Program" and FILE.
//   orvexa-helper --socket PATH [--allowed-uid N] [--root DIR] [--layout macos|linux]
//       the same settings given directly (nothing to uninstall).
//   orvexa-helper --version
//
// Diagnostics go to standard error, one line each. Exit status: 0 after a
// normal end, 2 for bad arguments or configuration, 1 when the socket
// cannot be served.
#pragma once

#include <string>
#include <vector>

namespace orvexa {

int helperToolMain(const std::vector<std::string>& arguments);

}  // namespace orvexa
