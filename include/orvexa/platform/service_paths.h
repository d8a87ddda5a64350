// Where the privileged helper and the kernel's switches live, for the layout
// in force of the paths table (paths.h), under its root. Kept beside the
// table rather than in it: only the helper's installer, the helper and the
// optimisation tasks ask for them.
//
// Thread-safety: as Paths::shared(); no errors (plain path arithmetic).
#pragma once

#include <string>

namespace orvexa {

// The helper's program: macOS R/Library/PrivilegedHelperTools, Linux
// R/usr/local/libexec/orvexa.
std::string helperProgramFolder();
// The service descriptions that start it: macOS R/Library/LaunchDaemons,
// Linux the systemd units of R/etc/systemd/system.
std::string serviceUnitFolder();
// Its socket: macOS R/var/run, Linux R/run.
std::string runtimeFolder();
// The kernel's page-cache switch, R/proc/sys/vm/drop_caches.
std::string dropCachesFile();

}  // namespace orvexa
