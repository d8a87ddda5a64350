#include "scan/duplicate/folder_entries.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/folder_chain.h"
#include "platform/unique_dir.h"
#include "platform/unique_fd.h"

namespace orvexa::duplicate_internal {
namespace {

detail::UniqueFd openFolder(const std::string& folder, bool followLink) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (!followLink) flags |= O_NOFOLLOW;
  return detail::openLongPath(folder, flags);
}

}  // namespace

std::optional<std::vector<FolderEntry>> readFolderEntries(const std::string& folder,
                                                          bool followLink) {
  detail::UniqueFd fd = openFolder(folder, followLink);
  if (!fd) return std::nullopt;
  return entriesOf(fd.get());
}

std::optional<std::vector<FolderEntry>> entriesOf(int fd) {
  // The stream lists a duplicate; ours stays for fstatat.
  detail::UniqueDir dir = detail::UniqueDir::over(fd);
  if (!dir) return std::nullopt;
  std::vector<FolderEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* item = ::readdir(dir.get());
    if (item == nullptr) break;
    const char* name = item->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    entries.push_back({name, {}});
  }
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  size_t kept = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (::fstatat(fd, entries[i].name.c_str(), &entries[i].status, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;  // vanished since it was listed
    }
    if (kept != i) entries[kept] = std::move(entries[i]);
    ++kept;
  }
  entries.resize(kept);
  return entries;
}

std::optional<std::vector<FolderFile>> listFolderFiles(const std::string& folder,
                                                       const std::function<bool()>& shouldStop) {
  if (shouldStop && shouldStop()) return std::vector<FolderFile>{};
  // Relative to the open folders, so that depth costs neither path lookups
  // nor PATH_MAX (FolderChain bounds the descriptors held).
  detail::FolderChain chain;
  std::optional<std::vector<FolderEntry>> top;
  if (chain.openRoot(folder, true) == 0) top = entriesOf(chain.top().fd.get());
  if (!top) return std::nullopt;
  std::vector<FolderFile> files;
  struct Level {
    std::vector<FolderEntry> entries;
    size_t next = 0;
  };
  std::vector<Level> levels;
  levels.push_back(Level{std::move(*top)});
  while (!levels.empty()) {
    if (levels.back().next >= levels.back().entries.size()) {
      levels.pop_back();
      chain.pop();
      continue;
    }
    const FolderEntry entry = std::move(levels.back().entries[levels.back().next++]);
    const mode_t mode = entry.status.st_mode;
    if (S_ISREG(mode)) {
      files.push_back(
          {std::string(chain.childPath(entry.name)), static_cast<int64_t>(entry.status.st_size),
           static_cast<uint64_t>(entry.status.st_dev), static_cast<uint64_t>(entry.status.st_ino)});
    } else if (S_ISDIR(mode)) {
      if (shouldStop && shouldStop()) break;
      if (chain.push(entry.name, false) != 0) continue;
      std::optional<std::vector<FolderEntry>> below = entriesOf(chain.top().fd.get());
      levels.push_back(Level{below ? std::move(*below) : std::vector<FolderEntry>{}});
    }
  }
  return files;
}

std::string joinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

size_t pathComponentCount(const std::string& path) {
  size_t count = 0;
  size_t i = 0;
  if (!path.empty() && path.front() == '/') {
    count = 1;  // the root folder itself
    i = 1;
  }
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    if (i >= path.size()) break;
    ++count;
    while (i < path.size() && path[i] != '/') ++i;
  }
  return count;
}

bool isSameOrBelow(const std::string& path, const std::string& folder) {
  if (folder.empty()) return false;
  if (path.size() < folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
  if (path.size() == folder.size()) return true;
  return folder.back() == '/' || path[folder.size()] == '/';
}

}  // namespace orvexa::duplicate_internal
