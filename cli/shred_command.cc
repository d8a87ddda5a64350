// orvexa shred PATH... [--yes] [--hard-links]: overwrites files and folders
// in place and removes them (files of other users through the privileged
// helper). Asks first unless --yes; a line per file on standard error while
// it works (not with --quiet); one line per path, or one JSON document, at
// the end: "results" per path given, "files" per file the run reached
// (inside folders too). A symbolic link given is refused, never followed; a
// file with other hard links is left alone unless --hard-links. The exit
// status is 1 when a path was missing or something could not be shredded.
#include <fmt/core.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "command_registry.h"
#include "orvexa/toolkits/shread_service.h"
#include "output.h"

namespace orvexa::cli {
namespace {

using nlohmann::json;
using Status = ShreadService::ShredStatus;

std::vector<std::string> gPaths;
bool gYes = false;
bool gHardLinks = false;

// Each file's last outcome, as the service tells it (from several threads).
struct FileOutcomes {
  std::mutex mu;
  std::map<std::string, std::pair<Status, std::string>> byPath;
};

bool existsWithoutFollowing(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The absolute, normalised form of a command-line path, without a
// trailing slash, its folders resolved and its last component as given. The
// user named those folders, links among them included (a home or a
// temporary folder reached through a link); from here on the shredder
// follows no link, so one swapped in during the run is still refused, and
// so is a link given as the item itself.
std::string absolutePath(const std::string& given) {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(given, ec);
  if (ec) path = given;
  std::string text = path.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  const std::filesystem::path normal(text);
  if (!normal.has_filename() || !normal.has_parent_path()) return text;
  std::filesystem::path folder = std::filesystem::canonical(normal.parent_path(), ec);
  if (ec) return text;
  return (folder / normal.filename()).string();
}

bool confirm(size_t count) {
  return askedYes(fmt::format("Shred {} item{}? Their contents cannot be recovered.", count,
                              count == 1 ? "" : "s"));
}

void printProgress(const std::string& path, Status status, const std::string& text) {
  switch (status) {
    case Status::Success:
      fmt::print(stderr, "shredded  {}\n", path);
      break;
    case Status::Prepare:
      fmt::print(stderr, "waiting   {} (for the privileged helper)\n", path);
      break;
    default:
      fmt::print(stderr, "failed    {}: {}\n", path, text);
      break;
  }
  std::fflush(stderr);
}

int runShred(const CommonOptions& options) {
  std::vector<std::string> targets;
  std::vector<std::string> missing;
  std::set<std::string> seen;
  for (const std::string& given : gPaths) {
    const std::string path = absolutePath(given);
    if (path == "/") {
      printError("refusing to shred the root folder");
      return 2;
    }
    if (!existsWithoutFollowing(path)) {
      printError("no such file or folder: " + given);
      missing.push_back(given);
      continue;
    }
    if (seen.insert(path).second) targets.push_back(path);
  }

  // What lies inside a folder also given goes with that folder, not once
  // more beside it at the same time.
  const std::vector<std::string> given = targets;
  std::erase_if(targets, [&given](const std::string& path) {
    return std::any_of(given.begin(), given.end(), [&path](const std::string& folder) {
      return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
             path[folder.size()] == '/';
    });
  });

  if (!targets.empty() && !gYes) {
    if (::isatty(STDIN_FILENO) != 1) {
      printError(
          "shred asks before destroying anything, but standard input is not a terminal: add "
          "--yes to shred without asking");
      return 2;
    }
    if (!confirm(targets.size())) {
      fmt::print("Nothing was shredded.\n");
      return 0;
    }
  }

  bool success = true;
  ShreadService::ShredResult result;
  FileOutcomes outcomes;
  if (!targets.empty()) {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    ShreadService service;
    service.setOverwriteHardLinks(gHardLinks);
    service.setFileProgress([&outcomes, quiet = options.quiet](
                                const std::string& path, Status status, const std::string& text) {
      {
        std::lock_guard lock(outcomes.mu);
        outcomes.byPath[path] = {status, text};
      }
      if (!quiet) printProgress(path, status, text);
    });
    std::vector<Url> urls;
    urls.reserve(targets.size());
    for (const std::string& path : targets) urls.push_back(Url::fromPath(path));
    service.shred(std::move(urls), [&](bool ok, ShreadService::ShredResult shredded) {
      std::lock_guard lock(mu);
      success = ok;
      result = std::move(shredded);
      done = true;
      cv.notify_all();
    });
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return done; });
  }

  size_t shredded = 0;
  size_t needHelper = 0;
  size_t hardLinked = 0;
  json files = json::array();
  {
    std::lock_guard lock(outcomes.mu);
    for (const auto& [path, outcome] : outcomes.byPath) {
      if (outcome.second.find(" other hard link") != std::string::npos) ++hardLinked;
      files.push_back(json{{"path", path},
                           {"status", raw(outcome.first)},
                           {"statusName", ShreadService::statusName(raw(outcome.first))},
                           {"desc", outcome.second}});
    }
  }
  std::string helperText;
  json results = json::array();
  for (const auto& [path, outcome] : result) {
    const auto& [status, text] = outcome;
    if (status == raw(Status::Success)) ++shredded;
    if (status == raw(Status::PrivilegeFail)) {
      ++needHelper;
      helperText = text;
    }
    if (options.json) {
      results.push_back(json{{"path", path},
                             {"status", status},
                             {"statusName", ShreadService::statusName(status)},
                             {"desc", text}});
    } else if (status == raw(Status::Success)) {
      fmt::print("shredded  {}\n", path);
    } else {
      fmt::print("failed    {}: {}{}{}\n", path, ShreadService::statusName(status),
                 text.empty() ? "" : ": ", text);
    }
  }
  const bool allDone = success && missing.empty() && result.size() >= targets.size();
  if (options.json) {
    printJson(json{{"success", allDone},
                   {"total", result.size()},
                   {"shredded", shredded},
                   {"results", std::move(results)},
                   {"files", std::move(files)},
                   {"missing", missing}});
  } else if (!result.empty()) {
    fmt::print("Shredded {} of {} item{}.\n", shredded, result.size(),
               result.size() == 1 ? "" : "s");
  }
  if (hardLinked > 0) {
    printError(fmt::format(
        "{} file{} with other hard links {} left as {} (--hard-links overwrites them, and with "
        "them the content of their other names)",
        hardLinked, hardLinked == 1 ? "" : "s", hardLinked == 1 ? "was" : "were",
        hardLinked == 1 ? "it was" : "they were"));
  }
  if (needHelper > 0) {
    printError(fmt::format(
        // The helper's own text says why (not installed, refused, ...).
        "{} item{} need{} root rights, but the privileged helper could not be used: {}", needHelper,
        needHelper == 1 ? "" : "s", needHelper == 1 ? "s" : "", helperText));
  }
  return allDone ? 0 : 1;
}

const CommandRegistrar kShred(
    {"shred",
     "Overwrite files and folders in place three times (0xFF, random bytes, zeros) and remove "
     "them; symbolic links are refused",
     {OptionSpec::positional("PATH", "Files and folders to shred", &gPaths, true),
      OptionSpec::flag("--yes", "Do not ask before shredding", &gYes),
      OptionSpec::flag("--hard-links",
                       "Also overwrite files that have other hard links (their other names "
                       "then hold zeros too)",
                       &gHardLinks)},
     [](const CommonOptions& o) { return runShred(o); }});

}  // namespace
}  // namespace orvexa::cli
