// Internal: the walk of the duplicate scan. Which folders are walked, the
// records of the files and folders met, and the list of roots.
//
// Thread-safety: the functions keep no state of their own; a WalkOutput
// belongs to one walk (one thread).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "orvexa/scan/duplicate/duplicate_scan_service.h"

namespace orvexa::duplicate_internal {

struct WalkSettings {
  int64_t minimumBytes = 0;    // a file counts when strictly larger
  std::set<std::string> skip;  // folders never walked (users' Library folders)
  int64_t scanID = 0;          // the feature whose `suspend` ends the walk
  std::function<void(const std::string&, int64_t)> progress;
};

struct WalkOutput {
  std::vector<DuplicateInfo> files;    // regular files above the minimum
  std::vector<DuplicateInfo> folders;  // folders above the minimum
};

// The Library folder of every entry of the paths table's users folder, and
// of the current user's home (which on Linux need not be in it). Under the
// Linux layout, the home's hidden application folders instead
// (Paths::userApplicationDataFolders: .cache, .config, .local, .var, ...).
std::set<std::string> libraryFolders();

// True for an entry that is walked: a plain folder (content type
// "public.folder", so not a bundle) that is not in the skip set and whose
// path does not contain "/Cache".
bool isWalkedFolder(const std::string& path, const std::string& name, const struct stat& status,
                    const WalkSettings& settings);

// Walks the folder at `path` and everything walkable below it, adding files
// and folders above the minimum to `output`; returns the folder's record.
// Below `path` no link is followed (not even a folder replaced by one during
// the walk) and depth is bounded by neither the stack nor PATH_MAX. Stops
// early (with what it has) once the feature is suspended.
DuplicateInfo folderBackTracking(const std::string& path, const WalkSettings& settings,
                                 WalkOutput& output);

struct RootList {
  std::vector<std::string> folders;  // to walk, each once
  WalkOutput entries;                // files found while building the list
};

// The roots of a scan: paths of more than three components (below the
// paths table's root) as given, shorter ones replaced by their non-hidden
// entries. Entries that are files are recorded at once; a Library folder of
// the skip set is never a root.
RootList buildRootList(const std::vector<Url>& scanPaths, const WalkSettings& settings);

}  // namespace orvexa::duplicate_internal
