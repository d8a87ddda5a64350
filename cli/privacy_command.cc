// orvexa privacy: the traces of the browsers and the system, and their
// removal (--clean CATEGORY:GROUP ...).
#include <fmt/core.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>

#include "command_registry.h"
#include "orvexa/clean/privacy_clean_service.h"
#include "orvexa/clean/undo_journal.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "output.h"
#include "scan_session.h"

namespace orvexa::cli {
namespace {

constexpr const char* kModuleType = "Privacy";
using Info = PrivacyScanService::PrivacyStatusInfo;

std::vector<std::string> cleanGroups;
bool assumeYes = false;

// Lower case without blanks: "Visit History" and "visithistory" match.
std::string squashed(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c != ' ') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

std::optional<Info> statusOfCategory(const CategoryInformation& category) {
  for (Info info : {Info::Safari, Info::Chrome, Info::Firefox, Info::RecentItem,
                    Info::ApplicationsPermissions}) {
    if (category.title == PrivacyScanService::titleOf(info)) return info;
  }
  return std::nullopt;
}

// The name a category goes by on the command line.
std::string keyOf(const CategoryInformation& category) {
  std::optional<Info> info = statusOfCategory(category);
  if (info == Info::RecentItem) return "recent";
  if (info == Info::ApplicationsPermissions) return "permissions";
  return squashed(category.title);
}

std::string itemsText(size_t n) { return fmt::format("{} item{}", n, n == 1 ? "" : "s"); }

void printSummary(const FeatureInformation& feature) {
  fmt::print("{}\n", feature.title);
  size_t total = 0;
  for (const CategoryPtr& category : feature.categoryInfo) {
    fmt::print("  {} [{}]\n", category->title, keyOf(*category));
    if (category->childrens.empty()) fmt::print("    (nothing found)\n");
    for (const FilePtr& group : category->childrens) {
      fmt::print("    {}: {}{}\n", group->title, itemsText(group->childrens.size()),
                 group->scanErrorDesc.empty() ? "" : " (" + group->scanErrorDesc.str() + ")");
      total += group->childrens.size();
    }
  }
  fmt::print("Total: {}\n", itemsText(total));
}

struct Selected {
  CategoryPtr category;
  FilePtr group;
  std::string name;  // as "key:Group title"
};

// The groups the arguments name; nothing (after a message) when one
// names no group.
std::optional<std::vector<Selected>> selectGroups(const FeatureInformation& feature,
                                                  const std::vector<std::string>& arguments) {
  std::vector<Selected> selected;
  for (const std::string& argument : arguments) {
    const size_t colon = argument.find(':');
    if (colon == std::string::npos) {
      printError("\"" + argument + "\": expected CATEGORY:GROUP, for example chrome:Cookies");
      return std::nullopt;
    }
    const std::string categoryKey = squashed(argument.substr(0, colon));
    const std::string groupKey = squashed(argument.substr(colon + 1));
    CategoryPtr category;
    std::string keys;
    for (const CategoryPtr& c : feature.categoryInfo) {
      keys += (keys.empty() ? "" : ", ") + keyOf(*c);
      if (keyOf(*c) == categoryKey || squashed(c->title) == categoryKey) category = c;
    }
    if (!category) {
      printError("\"" + argument + "\": no category \"" + argument.substr(0, colon) +
                 "\" was found (found: " + keys + ")");
      return std::nullopt;
    }
    bool matched = false;
    std::string titles;
    for (const FilePtr& group : category->childrens) {
      titles += (titles.empty() ? "" : ", ") + group->title;
      // "Cookies" names the cookies of every profile ("Cookies (config/chromium/Default)").
      const size_t profile = group->title.rfind(" (");
      const bool named = squashed(group->title) == groupKey ||
                         (profile != std::string::npos && group->title.back() == ')' &&
                          squashed(group->title.substr(0, profile)) == groupKey);
      if (groupKey != "*" && !named) continue;
      matched = true;
      const bool known = std::any_of(selected.begin(), selected.end(),
                                     [&](const Selected& s) { return s.group == group; });
      if (!known) selected.push_back({category, group, keyOf(*category) + ":" + group->title});
    }
    if (!matched) {
      printError("\"" + argument + "\": " + category->title + " has no group \"" +
                 argument.substr(colon + 1) + "\" (groups: " + (titles.empty() ? "none" : titles) +
                 ")");
      return std::nullopt;
    }
  }
  return selected;
}

// Asks on the terminal; false when the answer is not yes.
bool confirmed(size_t items, const std::vector<Selected>& selected) {
  std::string names;
  for (const Selected& s : selected) names += (names.empty() ? "" : ", ") + s.name;
  return askedYes(fmt::format("Remove {} from {}?", itemsText(items), names));
}

PrivacyCleanResult cleanCategory(const CategoryPtr& category) {
  switch (statusOfCategory(*category).value_or(Info::Safari)) {
    case Info::Safari:
      return PrivacyCleanService::cleanSafari(category);
    case Info::Chrome:
      return PrivacyCleanService::cleanChrome(category);
    case Info::Firefox:
      return PrivacyCleanService::cleanFirefox(category);
    case Info::RecentItem:
      return PrivacyCleanService::cleanRecentItem(category);
    case Info::ApplicationsPermissions:
      return PrivacyCleanService::cleanApplicationPermission(category);
  }
  return {PrivacyDeleteEnum::Success, {}};
}

// The paths and bytes the cleans `ids` moved to the trash.
std::pair<std::set<std::string>, int64_t> movedBy(const std::vector<int64_t>& ids) {
  std::pair<std::set<std::string>, int64_t> moved{{}, 0};
  std::string error;
  const std::unique_ptr<UndoJournal> journal =
      ids.empty() ? nullptr : UndoJournal::open(UndoJournal::defaultPath(), false, &error);
  if (!journal) return moved;
  for (const int64_t id : ids) {
    for (const JournalItem& item : journal->items(id)) {
      moved.first.insert(item.original);
      moved.second += item.bytes;
    }
  }
  return moved;
}

int runClean(const CommonOptions& options, const FeaturePtr& feature) {
  std::optional<std::vector<Selected>> selected = selectGroups(*feature, cleanGroups);
  if (!selected) return 2;
  // Every item of the named groups, remembered with its group's name: the
  // clean takes removed items out of the tree.
  std::vector<std::pair<FilePtr, std::string>> ticked;
  for (const Selected& s : *selected) {
    for (const FilePtr& item : s.group->childrens) ticked.emplace_back(item, s.name);
  }
  // With --json every answer is one document, the clean's outcome in "clean".
  // Of the removed items, `moved` (of `movedBytes`) went to the trash.
  auto answer = [&](size_t removed, const nlohmann::json& failures, const char* text,
                    size_t moved = 0, int64_t movedBytes = 0) {
    if (options.json) {
      printFeatureJson(*feature, {{"total", 0},
                                  {"clean",
                                   {{"selected", ticked.size()},
                                    {"removed", removed},
                                    {"moved", moved},
                                    {"movedToTrash", movedBytes},
                                    {"failed", failures}}}});
    } else {
      fmt::print("{}\n", text);
    }
  };
  if (ticked.empty()) {
    answer(0, nlohmann::json::array(), "Nothing to clean: the named groups are empty.");
    return 0;
  }
  if (!assumeYes) {
    if (isatty(STDIN_FILENO) != 1) {
      printError("refusing to clean without --yes: standard input is not a terminal");
      return 2;
    }
    if (!confirmed(ticked.size(), *selected)) {
      answer(0, nlohmann::json::array(), "Nothing was cleaned.");
      return 1;
    }
  }

  std::vector<CategoryPtr> categories;
  for (const Selected& s : *selected) {
    s.group->state = 1;
    for (const FilePtr& item : s.group->childrens) item->state = 1;
    s.category->state = -1;
    if (std::find(categories.begin(), categories.end(), s.category) == categories.end()) {
      categories.push_back(s.category);
    }
  }
  (void)PrivacyCleanService::takeJournalledCleans();  // what earlier cleans began
  for (const CategoryPtr& category : categories) cleanCategory(category);
  const auto [movedPaths, movedBytes] = movedBy(PrivacyCleanService::takeJournalledCleans());

  size_t removed = 0, moved = 0;
  nlohmann::json failures = nlohmann::json::array();
  for (const auto& [item, group] : ticked) {
    if (item->deleteStatus == raw(DeleteStatus::DeleteSuccess)) {
      ++removed;
      if (item->url.isFileURL() && movedPaths.count(item->url.path()) != 0) ++moved;
    } else if (item->deleteStatus == raw(DeleteStatus::DeleteError)) {
      failures.push_back({{"group", group},
                          {"title", item->title},
                          {"deleteErrorDesc", item->deleteErrorDesc.str()}});
    }
  }
  if (options.json) {
    answer(removed, failures, "", moved, movedBytes);
  } else {
    for (const nlohmann::json& f : failures) {
      std::string why = f["deleteErrorDesc"].get<std::string>();
      fmt::print("failed: {}: {}{}\n", f["group"].get<std::string>(), f["title"].get<std::string>(),
                 why.empty() ? "" : ": " + why);
    }
    fmt::print("Removed {} of {}; {} failed.\n", removed, itemsText(ticked.size()),
               failures.size());
    if (moved > 0) {
      fmt::print(
          "moved to the trash: {} \u2014 `orvexa undo` puts it back, `orvexa history --purge` "
          "frees the space\n",
          humanSize(movedBytes));
    }
  }
  return failures.empty() ? 0 : 1;
}

int runPrivacy(const CommonOptions& options) {
  std::vector<ModulePtr> modules = loadCatalogue(options);
  if (modules.empty()) return 1;
  FeaturePtr feature = selectFeature(modules, options, kModuleType);
  if (!feature) return featureMissingStatus(options);
  {
    ScanSession session(options, feature);
    PrivacyScanService::scan(
        feature, nullptr, session.showPercent(), nullptr,
        [&session](const FeaturePtr&, int64_t) { session.finish(); }, session.queue());
    session.wait();
  }
  if (!cleanGroups.empty()) return runClean(options, feature);
  if (options.json) {
    printFeatureJson(*feature, {{"total", 0}});
  } else {
    printSummary(*feature);
  }
  return 0;
}

const CommandRegistrar kPrivacy(
    {"privacy",
     "Traces of the browsers and of the system, and their removal (module type \"Privacy\")",
     {OptionSpec::option("--clean", "GROUP",
                         "Remove every item of these groups, named CATEGORY:GROUP as the listing "
                         "shows them (chrome:Cookies, safari:\"Visit History\", firefox:*)",
                         &cleanGroups),
      OptionSpec::flag("--yes", "Clean without asking", &assumeYes)},
     [](const CommonOptions& o) { return runPrivacy(o); }});

}  // namespace
}  // namespace orvexa::cli
