// orvexa undo [ID] [--yes]: puts the items of the latest clean that moved
// them to the trash (or of clean ID) back where they were.
// orvexa history [--purge [--older-than DAYS]]: the cleans that can be taken
// back; --purge removes their items from the trash for good.
// A journal that is missing, locked or unreadable stops both before anything
// is touched (exit status 1, the reason in words).
#include <fmt/core.h>
#include <unistd.h>

#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>

#include "command_registry.h"
#include "orvexa/clean/undo_journal.h"
#include "output.h"

namespace orvexa::cli {
namespace {

using nlohmann::json;

std::vector<std::string> undoIds;
bool yes = false;
bool purge = false;
std::optional<int64_t> olderThanDays;

// Asks `question` on the terminal unless --yes was given: 0 to go on, -1 when
// the user said no, 2 when there is no terminal to ask on.
int askFirst(const char* command, const std::string& question) {
  if (yes) return 0;
  if (::isatty(STDIN_FILENO) != 1) {
    printError(std::string(command) +
               " asks first, but standard input is not a terminal: add --yes");
    return 2;
  }
  return askedYes(question) ? 0 : -1;
}

std::unique_ptr<UndoJournal> openJournal() {
  std::string error;
  std::unique_ptr<UndoJournal> journal =
      UndoJournal::open(UndoJournal::defaultPath(), false, &error);
  if (!journal) printError(error);
  return journal;
}

int runUndo(const CommonOptions& options) {
  std::unique_ptr<UndoJournal> journal = openJournal();
  if (!journal) return 1;
  const std::vector<JournalClean> cleans = journal->cleans();
  const JournalClean* chosen = nullptr;
  if (!undoIds.empty()) {
    char* end = nullptr;
    const long long id = std::strtoll(undoIds.front().c_str(), &end, 10);
    for (const JournalClean& c : cleans) {
      if (*end == '\0' && c.id == id) chosen = &c;
    }
    if (chosen == nullptr) {
      printError("no clean with the id " + undoIds.front() + " (see orvexa history)");
      return 1;
    }
  } else {
    for (const JournalClean& c : cleans) {
      if (chosen == nullptr && c.restorable > 0) chosen = &c;
    }
    if (chosen == nullptr) {
      printError("nothing to undo: no clean has items left in the trash");
      return 1;
    }
  }
  const std::vector<JournalItem> items = journal->items(chosen->id);
  if (const int asked =
          askFirst("undo", fmt::format("Put back {} item{} of clean {} ({})?", items.size(),
                                       items.size() == 1 ? "" : "s", chosen->id, chosen->command));
      asked != 0) {
    return asked < 0 ? 0 : asked;
  }
  json list = json::array();
  int failed = 0;
  for (const JournalItem& item : items) {
    std::string restoredAs;
    const FileStatus status = Quarantine::restore(*journal, item, &restoredAs);
    if (!status.ok()) ++failed;
    const bool renamed = status.ok() && restoredAs != item.original;
    if (options.json) {
      list.push_back(json{{"path", item.original},
                          {"restoredAs", restoredAs},
                          {"ok", status.ok()},
                          {"error", status.ok() ? "" : status.message()}});
    } else if (!status.ok()) {
      fmt::print("failed    {}: {}\n", item.original, status.message());
    } else if (renamed) {
      fmt::print("restored  {} as {} (its place was taken)\n", item.original, restoredAs);
    } else {
      fmt::print("restored  {}\n", item.original);
    }
  }
  if (options.json) {
    printJson(json{{"clean", chosen->id}, {"items", std::move(list)}, {"failed", failed}});
  } else {
    fmt::print("Put back {} of {} item{}.\n", items.size() - static_cast<size_t>(failed),
               items.size(), items.size() == 1 ? "" : "s");
  }
  return failed == 0 ? 0 : 1;
}

int runHistory(const CommonOptions& options) {
  if (olderThanDays && !purge) {
    printError("--older-than goes with --purge");
    return 2;
  }
  std::unique_ptr<UndoJournal> journal = openJournal();
  if (!journal) return 1;
  const int64_t cutoff = std::time(nullptr) - olderThanDays.value_or(0) * 86400;
  json list = json::array();
  int64_t purgedBytes = 0;
  int failed = 0;
  std::vector<JournalItem> doomed;
  int64_t doomedBytes = 0;
  for (const JournalClean& c : journal->cleans()) {
    if (!purge || c.time > cutoff) continue;
    for (JournalItem& item : journal->items(c.id)) {
      doomedBytes += item.bytes;
      doomed.push_back(std::move(item));
    }
  }
  if (!doomed.empty()) {
    if (const int asked =
            askFirst("history --purge",
                     fmt::format("Remove {} item{} ({}) from the trash for good?", doomed.size(),
                                 doomed.size() == 1 ? "" : "s", humanSize(doomedBytes)));
        asked != 0) {
      return asked < 0 ? 0 : asked;
    }
  }
  for (const JournalItem& item : doomed) {
    const FileStatus status = Quarantine::purge(*journal, item);
    if (status.ok()) {
      purgedBytes += item.bytes;
    } else {
      ++failed;
      printError(item.quarantine + ": " + status.message());
    }
  }
  for (const JournalClean& c : journal->cleans()) {
    if (options.json) {
      list.push_back(json{{"id", c.id},
                          {"time", isoDate(std::chrono::system_clock::from_time_t(c.time))},
                          {"command", c.command},
                          {"items", c.count},
                          {"bytes", c.bytes},
                          {"restorable", c.restorable}});
    } else {
      fmt::print("{:>5}  {}  {:<16} {:>6} items {:>10}  {} restorable\n", c.id,
                 isoDate(std::chrono::system_clock::from_time_t(c.time)), c.command, c.count,
                 humanSize(c.bytes), c.restorable);
    }
  }
  if (options.json) {
    json doc{{"cleans", std::move(list)}};
    if (purge) doc["purged"] = purgedBytes;
    printJson(doc);
  } else if (purge) {
    fmt::print("Freed: {} ({} bytes)\n", humanSize(purgedBytes), purgedBytes);
  }
  return failed == 0 ? 0 : 1;
}

const CommandRegistrar kUndo(
    {"undo",
     "Put back what a clean moved to the trash (the latest, or clean ID)",
     {OptionSpec::positional("ID", "The clean to undo (see orvexa history)", &undoIds, false),
      OptionSpec::flag("--yes", "Do not ask first", &yes)},
     runUndo});

const CommandRegistrar kHistory(
    {"history",
     "The cleans that can be taken back",
     {OptionSpec::flag("--purge", "Remove their items from the trash for good", &purge),
      OptionSpec::number("--older-than", "DAYS", "With --purge: only cleans older than DAYS",
                         &olderThanDays, 0, 100000),
      OptionSpec::flag("--yes", "With --purge: do not ask first", &yes)},
     runHistory});

}  // namespace
}  // namespace orvexa::cli
