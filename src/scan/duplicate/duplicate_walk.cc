#include "scan/duplicate/duplicate_walk.h"

#include <algorithm>

#include "orvexa/platform/content_type.h"
#include "orvexa/platform/paths.h"
#include "orvexa/units/scan_status.h"
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
  DuplicateInfo folder;
  folder.path = Url::fromPath(path, true);
  folder.fileOrPath = false;
  std::optional<std::vector<FolderEntry>> entries = readFolderEntries(path, true);
  if (ScanStatusTable::isSuspended(settings.scanID)) return folder;
  if (entries) {
    // Sub-folders after the files: the listing's descriptor is closed by now,
    // so however deep the tree, one folder is open at a time.
    std::vector<const FolderEntry*> subfolders;
    for (const FolderEntry& entry : *entries) {
      std::string child = joinPath(path, entry.name);
      if (isWalkedFolder(child, entry.name, entry.status, settings)) {
        subfolders.push_back(&entry);
      } else {
        addFileEntry(child, entry.status, settings, output, folder);
      }
    }
    for (const FolderEntry* entry : subfolders) {
      DuplicateInfo sub = folderBackTracking(joinPath(path, entry->name), settings, output);
      folder.fileNumSum += sub.fileNumSum;
      folder.fileSize += sub.fileSize;
      folder.allocatedSize += sub.allocatedSize;
      folder.sizeList.merge(sub.sizeList);
    }
  }
  if (folder.fileSize > settings.minimumBytes && !ScanStatusTable::isSuspended(settings.scanID)) {
    output.folders.push_back(folder);
  }
  return folder;
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
