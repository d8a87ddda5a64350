#include "scan/duplicate/duplicate_walk.h"

#include <algorithm>

#include "orvexa/platform/content_type.h"
#include "orvexa/platform/paths.h"
#include "orvexa/units/scan_status.h"
#include "platform/folder_chain.h"
#include "scan/duplicate/folder_entries.h"

namespace orvexa::duplicate_internal {
namespace {

bool isHiddenName(const std::string& name) { return !name.empty() && name.front() == '.'; }

// Adds a non-walked entry to its folder's record, and a regular file above
// the minimum to the output. Folders (bundles, skipped folders) have no size
// of their own; links count with their own size and are never read.
void addFileEntry(const std::string& path, const struct stat& status, const WalkSettings& settings,
                  WalkOutput& output, DuplicateInfo& folder) {
  const int64_t size = S_ISDIR(status.st_mode) ? 0 : static_cast<int64_t>(status.st_size);
  folder.fileNumSum += 1;
  folder.fileSize += size;
  folder.allocatedSize += static_cast<int64_t>(status.st_blocks) * 512;
  folder.sizeList.insert(size);
  if (!S_ISREG(status.st_mode) || size <= settings.minimumBytes) return;
  DuplicateInfo file;
  file.fileNumSum = 1;
  file.fileSize = size;
  file.allocatedSize = static_cast<int64_t>(status.st_blocks) * 512;
  file.path = Url::fromPath(path, false);
  file.fileOrPath = true;
  file.device = static_cast<uint64_t>(status.st_dev);
  file.inode = static_cast<uint64_t>(status.st_ino);
  file.modifiedNs =
      static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  file.changedNs =
      static_cast<int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
  output.files.push_back(std::move(file));
  if (settings.progress) settings.progress(path, size);
}

// The path as the system sees it: below the paths table's root.
std::string systemPathOf(const std::string& path) {
  const std::string root = Paths::shared().root();
  if (root.empty() || !isSameOrBelow(path, root)) return path;
  std::string below = path.substr(root.size());
  return below.empty() ? "/" : below;
}

}  // namespace

std::set<std::string> libraryFolders() {
  std::set<std::string> folders;
  if (Paths::shared().layout() == Layout::Linux) {
    for (const std::string& folder : Paths::shared().userApplicationDataFolders()) {
      folders.insert(folder);
    }
    return folders;
  }
  const std::string users = Paths::shared().usersFolder();
  if (auto entries = readFolderEntries(users, true)) {
    for (const FolderEntry& entry : *entries) {
      if (isHiddenName(entry.name)) continue;
      folders.insert(joinPath(joinPath(users, entry.name), "Library"));
    }
  }
  folders.insert(Paths::shared().userLibrary());
  return folders;
}

bool isWalkedFolder(const std::string& path, const std::string& name, const struct stat& status,
                    const WalkSettings& settings) {
  if (!S_ISDIR(status.st_mode)) return false;
  if (contentTypeForName(name, true, false).find("public.folder") == std::string::npos) {
    return false;
  }
  if (settings.skip.count(path) != 0) return false;
  return path.find("/Cache") == std::string::npos;
}

DuplicateInfo folderBackTracking(const std::string& path, const WalkSettings& settings,
                                 WalkOutput& output) {
  // One level per open folder, each sub-folder opened relative to its
  // parent's descriptor: depth costs neither recursion nor PATH_MAX, and a
  // folder swapped for a link after its parent was listed is not followed.
  struct Level {
    std::string path;
    bool opened = false;  // holds a folder of the chain
    DuplicateInfo record;
    std::vector<std::string> subfolders;  // walked after the files, in name order
    size_t next = 0;
  };
  detail::FolderChain chain;
  std::vector<Level> levels;
  // Lists the chain's deepest folder (when `opened`) into a new level; false
  // once the feature is suspended.
  auto enter = [&](std::string folderPath, bool opened) {
    Level& level = levels.emplace_back();
    level.path = std::move(folderPath);
    level.opened = opened;
    level.record.path = Url::fromPath(level.path, true);
    level.record.fileOrPath = false;
    std::optional<std::vector<FolderEntry>> entries;
    if (opened) entries = entriesOf(chain.top().fd.get());
    if (ScanStatusTable::isSuspended(settings.scanID)) return false;
    if (!entries) return true;
    for (const FolderEntry& entry : *entries) {
      std::string child = joinPath(level.path, entry.name);
      if (isWalkedFolder(child, entry.name, entry.status, settings)) {
        level.subfolders.push_back(entry.name);
      } else {
        addFileEntry(child, entry.status, settings, output, level.record);
      }
    }
    return true;
  };

  bool going = enter(path, chain.openRoot(path, true) == 0);
  while (going) {
    Level& level = levels.back();
    if (level.next < level.subfolders.size()) {
      std::string child = joinPath(level.path, level.subfolders[level.next++]);
      const bool opened = chain.push(level.subfolders[level.next - 1], false) == 0;
      going = enter(std::move(child), opened);
      continue;
    }
    // Every sub-folder is in: the folder's record is whole.
    Level finished = std::move(level);
    levels.pop_back();
    if (finished.opened) chain.pop();
    const DuplicateInfo& sub = finished.record;
    if (sub.fileSize > settings.minimumBytes && !ScanStatusTable::isSuspended(settings.scanID)) {
      output.folders.push_back(sub);
    }
    if (levels.empty()) return std::move(finished.record);
    DuplicateInfo& folder = levels.back().record;
    folder.fileNumSum += sub.fileNumSum;
    folder.fileSize += sub.fileSize;
    folder.allocatedSize += sub.allocatedSize;
    folder.sizeList.merge(finished.record.sizeList);
  }
  return levels.front().record;  // suspended: what was gathered
}

RootList buildRootList(const std::vector<Url>& scanPaths, const WalkSettings& settings) {
  RootList roots;
  std::set<std::string> seen;
  DuplicateInfo top;  // collects the expanded entries' totals; not a folder of its own
  auto addFolder = [&](const std::string& path) {
    if (seen.insert(path).second) roots.folders.push_back(path);
  };
  for (const Url& url : scanPaths) {
    const std::string& path = url.path();
    if (path.empty()) continue;
    if (pathComponentCount(systemPathOf(path)) > 3) {
      struct stat status {};
      if (::stat(path.c_str(), &status) != 0) continue;
      if (S_ISDIR(status.st_mode)) {
        if (settings.skip.count(path) == 0) addFolder(path);
      } else {
        addFileEntry(path, status, settings, roots.entries, top);
      }
      continue;
    }
    std::optional<std::vector<FolderEntry>> entries = readFolderEntries(path, true);
    if (!entries) continue;
    for (const FolderEntry& entry : *entries) {
      if (isHiddenName(entry.name)) continue;
      std::string child = joinPath(path, entry.name);
      if (isWalkedFolder(child, entry.name, entry.status, settings)) {
        addFolder(child);
      } else {
        addFileEntry(child, entry.status, settings, roots.entries, top);
      }
    }
  }
  return roots;
}

}  // namespace orvexa::duplicate_internal
