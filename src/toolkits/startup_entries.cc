#include "toolkits/startup_entries.h"

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>

#include "orvexa/platform/desktop_entry.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/file_writer.h"
#include "orvexa/platform/listed_identity.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/verified_removal.h"
#include "orvexa/scan/privacy/privacy_stores.h"
#include "orvexa/units/terminal_tool.h"

namespace orvexa::startup {
namespace {

bool isOff(std::string_view text) {
  return desktopValue(text, "Hidden") == "true" ||
         desktopValue(text, "X-GNOME-Autostart-enabled") == "false";
}

std::vector<std::string> desktopIds(const std::string& folder) {
  std::vector<std::string> ids;
  for (const std::string& name : contentsOfDirectory(folder)) {
    if (name.size() > 8 && name.ends_with(".desktop") && !isDirectory(folder + "/" + name))
      ids.push_back(name);
  }
  return ids;
}

// A desktop id names one file of the folder: no path separators, not hidden.
bool isDesktopId(const std::string& id) {
  return id.size() > 8 && id.ends_with(".desktop") && id.find('/') == std::string::npos &&
         id.front() != '.';
}

}  // namespace

std::vector<Entry> autostartEntries() {
  const std::string system = Paths::shared().systemAutostartFolder();
  const std::string user = Paths::shared().userAutostartFolder();
  std::map<std::string, std::string> inForce;  // id -> path
  for (const std::string& id : desktopIds(system)) inForce[id] = system + "/" + id;
  for (const std::string& id : desktopIds(user)) inForce[id] = user + "/" + id;
  std::vector<Entry> entries;
  for (const auto& [id, path] : inForce) {
    std::optional<std::string> text = privacy::readStoreFile(path);
    if (!text || !isDesktopEntry(*text)) continue;
    entries.push_back({id, path, !isOff(*text)});
  }
  return entries;
}

bool setAutostartEnabled(const std::string& id, bool enabled, std::string* why) {
  if (!isDesktopId(id)) {
    *why = "\"" + id + "\" is not a desktop id";
    return false;
  }
  const std::string systemPath = Paths::shared().systemAutostartFolder() + "/" + id;
  const std::string userFolder = Paths::shared().userAutostartFolder();
  const std::string userPath = userFolder + "/" + id;
  std::optional<std::string> systemText = privacy::readStoreFile(systemPath);
  std::optional<std::string> userText = privacy::readStoreFile(userPath);
  if (systemText && !isDesktopEntry(*systemText)) systemText.reset();
  if (userText && !isDesktopEntry(*userText)) userText.reset();
  if (!systemText && !userText) {
    *why = "no autostart entry " + id;
    return false;
  }
  if (enabled && !userText && !isOff(*systemText)) return true;  // in force and on
  if (enabled && userText && systemText && !isOff(*systemText) &&
      *userText == withDesktopKey(*systemText, "Hidden", "true")) {
    // The copy just read is removed only while it is still that file, reached
    // from the autostart folder without following links.
    const std::optional<ListedIdentity> copy = ListedIdentity::ofPath(userPath);
    if (!copy || !removeListedItem({userFolder, userPath, *copy}).ok()) {
      *why = "cannot remove " + userPath;
      return false;
    }
    return true;
  }
  // The user file in force, or a new copy of a system entry.
  std::string updated =
      withDesktopKey(userText ? *userText : *systemText, "Hidden", enabled ? "false" : "true");
  if (enabled && desktopValue(updated, "X-GNOME-Autostart-enabled") == "false") {
    updated = withDesktopKey(updated, "X-GNOME-Autostart-enabled", "true");
  }
  if (!createDirectory(userFolder, true).ok() || !writeFileAtomically(userPath, updated).ok()) {
    *why = "cannot write " + userPath;
    return false;
  }
  return true;
}

std::vector<Entry> userUnits() {
  const std::string tool = Paths::shared().tool("systemctl");
  if (!fileExists(tool)) return {};
  const std::string listing = TerminalUtils::runTerminal(
      tool, {"--user", "list-unit-files", "--no-legend", "--no-pager", "--plain"});
  std::vector<Entry> units;
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string unit, state;
    if (!(words >> unit >> state)) continue;
    if (unit.find('.') == std::string::npos || unit.find('/') != std::string::npos) continue;
    if (state != "enabled" && state != "disabled") continue;
    units.push_back({unit, "", state == "enabled"});
  }
  return units;
}

bool setUnitEnabled(const std::string& unit, bool enabled) {
  const std::string tool = Paths::shared().tool("systemctl");
  TerminalUtils::runTerminal(tool, {"--user", enabled ? "enable" : "disable", "--", unit});
  const std::string state = TerminalUtils::runTerminal(tool, {"--user", "is-enabled", "--", unit});
  std::istringstream first(state);
  std::string word;
  return first >> word && word == "enabled";
}

}  // namespace orvexa::startup
