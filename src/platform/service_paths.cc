#include "orvexa/platform/service_paths.h"

#include "orvexa/platform/paths.h"

namespace orvexa {

std::string helperProgramFolder() {
  const Paths& paths = Paths::shared();
  return paths.layout() == Layout::Linux ? paths.root() + "/usr/local/libexec/orvexa"
                                         : paths.privilegedHelperToolsFolder();
}

std::string serviceUnitFolder() {
  const Paths& paths = Paths::shared();
  return paths.layout() == Layout::Linux ? paths.root() + "/etc/systemd/system"
                                         : paths.systemLaunchDaemonsFolder();
}

std::string runtimeFolder() {
  const Paths& paths = Paths::shared();
  return paths.root() + (paths.layout() == Layout::Linux ? "/run" : "/var/run");
}

std::string dropCachesFile() { return Paths::shared().root() + "/proc/sys/vm/drop_caches"; }

}  // namespace orvexa
