#include "scan/duplicate/folder_entries.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/folder_chain.h"
#include "platform/unique_fd.h"

namespace orvexa::duplicate_internal {
namespace {

detail::UniqueFd openFolder(const std::string& folder, bool followLink) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (!followLink) flags |= O_NOFOLLOW;
  return detail::openLongPath(folder, flags);
}

void listInto(const std::string& folder, bool followLink, std::vector<FolderFile>& out,
              const std::function<bool()>& shouldStop, bool* opened) {
  if (shouldStop && shouldStop()) return;
  std::optional<std::vector<FolderEntry>> entries = readFolderEntries(folder, followLink);
  if (opened != nullptr) *opened = entries.has_value();
  if (!entries) return;
  for (const FolderEntry& entry : *entries) {
    const mode_t mode = entry.status.st_mode;
    if (S_ISREG(mode)) {
      out.push_back({joinPath(folder, entry.name), static_cast<int64_t>(entry.status.st_size),
                     static_cast<uint64_t>(entry.status.st_dev),
                     static_cast<uint64_t>(entry.status.st_ino)});
    } else if (S_ISDIR(mode)) {
      // The listing above is complete and its descriptor closed, so the depth
      // of the tree never costs more than one open folder at a time.
      listInto(joinPath(folder, entry.name), false, out, shouldStop, nullptr);
    }
  }
}

}  // namespace

std::optional<std::vector<FolderEntry>> readFolderEntries(const std::string& folder,
                                                          bool followLink) {
  detail::UniqueFd fd = openFolder(folder, followLink);
  if (!fd) return std::nullopt;
  // fdopendir takes over the descriptor it is given; keep ours for fstatat.
  int listFd = ::dup(fd.get());
  if (listFd < 0) return std::nullopt;
  DIR* dir = ::fdopendir(listFd);
  if (dir == nullptr) {
    ::close(listFd);
    return std::nullopt;
  }
  std::vector<FolderEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* item = ::readdir(dir);
    if (item == nullptr) break;
    const char* name = item->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    entries.push_back({name, {}});
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  size_t kept = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (::fstatat(fd.get(), entries[i].name.c_str(), &entries[i].status, AT_SYMLINK_NOFOLLOW) !=
        0) {
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
  std::vector<FolderFile> files;
  bool opened = false;
  listInto(folder, true, files, shouldStop, &opened);
  if (!opened && !(shouldStop && shouldStop())) return std::nullopt;
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
