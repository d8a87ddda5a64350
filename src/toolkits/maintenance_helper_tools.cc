// Launch daemons and privileged helper tools by the application they belong
// to.
#include "orvexa/platform/ascii_case.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/paths.h"
#include "orvexa/toolkits/maintenance_service.h"
#include "orvexa/units/terminal_tool.h"

namespace orvexa {
namespace {

std::vector<std::string> splitOn(std::string_view text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Rule 1: the identifier, or the identifier followed by a separator or by
// "Helper" (the label form "<identifier>Helper" of blessed helpers).
bool extendsIdentifier(std::string_view name, std::string_view identifier) {
  if (identifier.empty() || name.size() < identifier.size()) return false;
  if (asciiLower(name.substr(0, identifier.size())) != asciiLower(identifier)) return false;
  const std::string_view rest = name.substr(identifier.size());
  return rest.empty() || rest.front() == '.' || rest.front() == '-' || rest.front() == '_' ||
         rest.substr(0, 6) == "Helper";
}

// Rule 2: same vendor domain, and a component naming the application.
bool namesApplication(std::string_view name, const ApplicationBundle& application) {
  const std::vector<std::string> nameParts = splitOn(asciiLower(name), '.');
  const std::vector<std::string> idParts = splitOn(asciiLower(application.bundleIdentifier), '.');
  if (nameParts.size() < 3 || idParts.size() < 2) return false;
  if (nameParts[0] != idParts[0] || nameParts[1] != idParts[1]) return false;
  std::string appName;
  for (char c : asciiLower(application.name)) {
    if (c != ' ') appName += c;
  }
  if (appName.empty()) return false;
  for (size_t i = 2; i < nameParts.size(); ++i) {
    if (nameParts[i] == appName) return true;
  }
  return false;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

std::map<std::string, std::vector<Url>> MaintenanceService::associateHelperTools(
    const std::vector<std::pair<std::string, Url>>& tools,
    const std::vector<ApplicationBundle>& applications) {
  std::map<std::string, std::vector<Url>> owners;
  for (const auto& [name, url] : tools) {
    const ApplicationBundle* owner = nullptr;
    for (const ApplicationBundle& application : applications) {
      if (extendsIdentifier(name, application.bundleIdentifier) &&
          (owner == nullptr ||
           application.bundleIdentifier.size() > owner->bundleIdentifier.size())) {
        owner = &application;
      }
    }
    if (owner == nullptr) {
      for (const ApplicationBundle& application : applications) {
        if (namesApplication(name, application)) {
          owner = &application;
          break;
        }
      }
    }
    if (owner != nullptr) owners[owner->bundleIdentifier].push_back(url);
  }
  return owners;
}

void MaintenanceService::scanHelperTool(const HelperToolFinish& finish) const {
  const Paths& paths = Paths::shared();
  std::vector<std::pair<std::string, Url>> tools;
  const std::string daemons = paths.systemLaunchDaemonsFolder();
  for (const std::string& folder : {daemons, Paths::disabledTwin(daemons)}) {
    for (const Url& url : getFileUseEnumerator(folder)) {
      const std::string name = url.lastPathComponent();
      if (!endsWith(name, "plist")) continue;
      const size_t dot = name.rfind('.');
      tools.emplace_back(dot == std::string::npos || dot == 0 ? name : name.substr(0, dot), url);
    }
  }
  const std::string helpers = paths.privilegedHelperToolsFolder();
  for (const std::string& folder : {helpers, Paths::disabledTwin(helpers)}) {
    for (const Url& url : getFileUseEnumerator(folder)) {
      tools.emplace_back(url.lastPathComponent(), url);
    }
  }

  std::vector<ApplicationBundle> applications;
  const std::string mdfind = paths.tool("mdfind");
  if (!tools.empty() && fileExists(mdfind)) {
    const std::string listing =
        TerminalUtils::runTerminal(mdfind, {"kMDItemContentType=com.apple.application-bundle"});
    for (const std::string& line : splitOn(listing, '\n')) {
      if (line.empty()) continue;
      if (std::optional<ApplicationBundle> application = readApplicationBundle(line)) {
        applications.push_back(std::move(*application));
      }
    }
  }
  if (finish) finish(associateHelperTools(tools, applications));
}

}  // namespace orvexa
