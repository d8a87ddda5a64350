#include "orvexa/toolkits/login_items_and_lauch_agents_service.h"

#include <unistd.h>

#include <optional>
#include <string_view>

#include "orvexa/platform/bundle.h"
#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/paths.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/terminal_tool.h"
#include "units/regular_expression.h"

namespace orvexa {
namespace {

constexpr const char* kBlockPattern = R"(\{[\S\s]*?\})";

std::string without(std::string_view text, std::string_view drop) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (drop.find(c) == std::string_view::npos) out.push_back(c);
  }
  return out;
}

std::vector<std::string> split(std::string_view text, std::string_view separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.emplace_back(text.substr(start));
      return parts;
    }
    parts.emplace_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// "com.example" of "com.example.app"; nothing with fewer than two parts.
std::optional<std::string> twoPartPrefix(const std::string& identifier) {
  std::vector<std::string> parts = split(identifier, ".");
  if (parts.size() < 2) return std::nullopt;
  return parts[0] + "." + parts[1];
}

bool endsWithApp(std::string_view name) {
  return name.size() > 4 && name.substr(name.size() - 4) == ".app";
}

// The application bundles the metadata index lists, or (without the index)
// those found in the applications folders.
// Runs a tool for the scan of `featureIndex` (see the header).
std::string runTool(const std::string& path, const std::vector<std::string>& arguments,
                    int64_t featureIndex) {
  if (featureIndex == LoginItemsAndLauchAgentsService::kNoFeature) {
    return TerminalUtils::runTerminal(path, arguments);
  }
  return TerminalUtilsClass(featureIndex).runTerminal(path, arguments);
}

std::vector<std::string> applicationPaths(int64_t featureIndex) {
  const std::string mdfind = Paths::shared().tool("mdfind");
  std::vector<std::string> paths;
  if (fileExists(mdfind)) {
    const std::string output =
        runTool(mdfind, {"kMDItemContentType=com.apple.application-bundle"}, featureIndex);
    for (std::string& line : split(output, "\n")) {
      if (!line.empty()) paths.push_back(std::move(line));
    }
    return paths;
  }
  const Paths& table = Paths::shared();
  for (const std::string& folder : {table.applicationsFolder(), table.systemApplicationsFolder(),
                                    table.userHome() + "/Applications"}) {
    DirectoryEnumerator walk(
        folder, EnumerationOptions::skipsHiddenFiles | EnumerationOptions::skipsPackageDescendants,
        [](const std::string&, const std::string&) { return true; });
    while (std::optional<ResourceValues> item = walk.next()) {
      if (item->isDirectory && endsWithApp(item->name)) paths.push_back(item->path);
    }
  }
  return paths;
}

}  // namespace

std::string LoginItemsAndLauchAgentsService::getAllServeInfo(int64_t featureIndex) {
  return runTool(Paths::shared().tool("launchctl"),
                 {"print-disabled", "user/" + std::to_string(::getuid())}, featureIndex);
}

std::vector<std::string> LoginItemsAndLauchAgentsService::regexGetSub(const std::string& pattern,
                                                                      const std::string& str) {
  return internal::matchesOf(pattern, str);
}

LoginItemsAndLauchAgentsService::DisableServiceInfo
LoginItemsAndLauchAgentsService::getDisableServiceInfo(int64_t featureIndex) {
  return parseDisableServiceInfo(getAllServeInfo(featureIndex));
}

LoginItemsAndLauchAgentsService::DisableServiceInfo
LoginItemsAndLauchAgentsService::parseDisableServiceInfo(const std::string& listing) {
  DisableServiceInfo info{{LoginItemDisableStatus::disabledServices, {}},
                          {LoginItemDisableStatus::associations, {}}};
  for (const std::string& block : regexGetSub(kBlockPattern, listing)) {
    const std::string body = without(block, "{}");
    ServiceStates states;
    for (const std::string& rawLine : split(body, "\n")) {
      const std::vector<std::string> parts = split(without(rawLine, "\t\""), "=>");
      if (parts.size() < 2) continue;
      const std::string label = without(parts[0], "\t\" \r\n");
      const std::string value = without(parts[1], "\t\" \r\n");
      states[label] = contains(value, "false") ? kLoginItemStart : kLoginItemClose;
    }
    const bool isStateBlock = contains(body, "true") || contains(body, "false");
    info[isStateBlock ? LoginItemDisableStatus::disabledServices
                      : LoginItemDisableStatus::associations] = std::move(states);
  }
  return info;
}

void LoginItemsAndLauchAgentsService::getApp(const std::function<void(AppTable)>& finish,
                                             int64_t featureIndex) {
  AppTable apps;
  for (const std::string& path : applicationPaths(featureIndex)) {
    std::string why;
    std::optional<ApplicationBundle> bundle = readApplicationBundle(path, &why);
    if (!why.empty()) LogService::shard().log(LogService::LogLevel::Info, "Bundle skipped: " + why);
    if (!bundle) continue;
    std::optional<std::string> prefix = twoPartPrefix(bundle->bundleIdentifier);
    if (!prefix) continue;
    apps[*prefix].insert(Url::fromPath(bundle->path, true));
  }
  if (finish) finish(std::move(apps));
}

LoginItemsAndLauchAgentsService::AssociationTable LoginItemsAndLauchAgentsService::associate(
    const DisableServiceInfo& services, const AppTable& apps) {
  AssociationTable table;
  auto states = services.find(LoginItemDisableStatus::disabledServices);
  if (states == services.end()) return table;
  for (const auto& [label, state] : states->second) {
    if (label.rfind("com.apple", 0) == 0) continue;
    std::optional<std::string> prefix = twoPartPrefix(label);
    if (!prefix) continue;
    auto owners = apps.find(*prefix);
    if (owners == apps.end()) continue;
    for (const Url& app : owners->second) table[app].emplace_back(label, state);
  }
  return table;
}

void LoginItemsAndLauchAgentsService::getAllAssociationApp(
    const std::function<void(AssociationTable)>& finishFunc, int64_t featureIndex) {
  const DisableServiceInfo services = getDisableServiceInfo(featureIndex);
  AppTable apps;
  getApp([&apps](AppTable found) { apps = std::move(found); }, featureIndex);
  if (finishFunc) finishFunc(associate(services, apps));
}

}  // namespace orvexa
