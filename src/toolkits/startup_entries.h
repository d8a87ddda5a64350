// What starts with a Linux desktop session: the freedesktop.org autostart
// entries and the systemd user units. Library-internal; the login-item
// listing of OptimizationService shows them under the Linux layout.
//
// Autostart: the desktop ids (*.desktop) of the system folder
// (Paths::systemAutostartFolder()) and of the user's (userAutostartFolder());
// a user file overrides the system file of the same id. An entry is off
// when its [Desktop Entry] group says Hidden=true or
// X-GNOME-Autostart-enabled=false. Switching one off writes the user file
// (a copy of the system entry when there is none) with Hidden=true, as the
// desktops' session settings do; switching one on removes the user file when
// it is exactly such a copy, else sets Hidden=false (and
// X-GNOME-Autostart-enabled=true where it said false) in the user file, a
// new copy when a switched-off system entry has none. Every other byte of
// the file is kept; files are replaced atomically.
//
// systemd user units: the enabled and disabled unit files that
// `tool("systemctl") --user list-unit-files` reports (static, masked and
// generated units cannot be switched and are left out), switched with
// `--user enable|disable UNIT`; the state afterwards is read back with
// `--user is-enabled UNIT`.
//
// Thread-safety: stateless; the calls block while files are read and the
// tool runs. Errors are reported in words through `why`.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvexa::startup {

struct Entry {
  std::string id;    // desktop id ("foo.desktop") or unit name ("foo.service")
  std::string path;  // the file in force
  bool enabled = false;
};

std::vector<Entry> autostartEntries();
// False, with `why`, when the user file could not be written or removed.
bool setAutostartEnabled(const std::string& id, bool enabled, std::string* why);

std::vector<Entry> userUnits();
// The unit's state after the switch, as is-enabled reports it.
bool setUnitEnabled(const std::string& unit, bool enabled);

}  // namespace orvexa::startup
