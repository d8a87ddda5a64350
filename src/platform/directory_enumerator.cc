#include "orvexa/platform/directory_enumerator.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "orvexa/platform/posix_error.h"
#include "platform/folder_chain.h"
#include "platform/resource_values_at.h"

namespace orvexa {

using detail::FolderChain;
using detail::FolderEntry;

DirectoryEnumerator::DirectoryEnumerator(std::string root, EnumerationOptions options,
                                         ErrorHandler errorHandler, ResourceFetch fetch)
    : root_(std::move(root)),
      options_(options),
      errorHandler_(std::move(errorHandler)),
      fetch_(fetch),
      chain_(std::make_unique<FolderChain>()) {}

DirectoryEnumerator::~DirectoryEnumerator() = default;
DirectoryEnumerator::DirectoryEnumerator(DirectoryEnumerator&&) noexcept = default;
DirectoryEnumerator& DirectoryEnumerator::operator=(DirectoryEnumerator&&) noexcept = default;

void DirectoryEnumerator::setOpenFaultForTesting(std::function<int(const std::string&)> fault) {
  chain_->openFault = std::move(fault);
}

void DirectoryEnumerator::setMaxOpenDescriptorsForTesting(size_t count) {
  auto fault = std::move(chain_->openFault);
  chain_ = std::make_unique<FolderChain>(count);
  chain_->openFault = std::move(fault);
}

bool DirectoryEnumerator::report(const std::string& path, int err) {
  return errorHandler_ ? errorHandler_(path, posixErrorText(err)) : true;
}

namespace {

// Reads the deepest folder's entries into its frame, sorted by name.
int loadEntries(FolderChain& chain) {
  std::vector<FolderEntry>& entries = chain.top().entries;
  if (int err = chain.loadTop(); err != 0) {
    entries.clear();
    return err;
  }
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return 0;
}

}  // namespace

bool DirectoryEnumerator::start() {
  int err = chain_->openRoot(root_, true);
  if (err == 0) err = loadEntries(*chain_);
  if (err != 0) {
    report(root_, err);  // nothing follows a root that cannot be read, whatever the answer
    return false;
  }
  return true;
}

void DirectoryEnumerator::descend() {
  FolderChain& chain = *chain_;
  const std::string path = chain.childPath(pendingName_);
  const FolderChain::Frame& parent = chain.top();
  const bool parentDone = parent.next >= parent.entries.size();
  int err = chain.push(pendingName_, parentDone);
  if (err == 0) {
    err = loadEntries(chain);
    if (err != 0) chain.pop();
  }
  if (err != 0 && !report(path, err)) finished_ = true;
}

void DirectoryEnumerator::skipDescendants() { descendPending_ = false; }

int DirectoryEnumerator::folderDescriptor() {
  // A folder to descend into is only entered by the next call of next():
  // until then the deepest open folder is the one holding the item.
  if (finished_ || !started_ || chain_->empty()) return -1;
  int err = 0;
  return chain_->fdOf(chain_->depth() - 1, &err);
}

std::optional<ResourceValues> DirectoryEnumerator::next() {
  if (finished_) return std::nullopt;
  if (!started_) {
    started_ = true;
    if (!start()) {
      finished_ = true;
      return std::nullopt;
    }
  } else if (descendPending_) {
    descendPending_ = false;
    descend();
    if (finished_) return std::nullopt;
  }

  FolderChain& chain = *chain_;
  const bool skipHidden = hasOption(options_, EnumerationOptions::skipsHiddenFiles);
  while (!chain.empty()) {
    FolderChain::Frame& frame = chain.top();
    if (frame.next >= frame.entries.size()) {
      chain.pop();
      continue;
    }
    const size_t index = chain.depth() - 1;
    const FolderEntry& entry = frame.entries[frame.next++];
    if (skipHidden && entry.name.front() == '.') continue;

    int err = 0;
    int fd = chain.fdOf(index, &err);
    if (fd < 0) {
      // The folder went away under the walk: the rest of it is lost.
      if (!report(std::string(chain.path()), err)) break;
      chain.top().next = chain.top().entries.size();
      continue;
    }
    ResourceValues values;
    std::string path = chain.childPath(entry.name);
    err = detail::resourceValuesAt(fd, entry.name.c_str(), path, fetch_, &values);
    if (err == ENOENT) continue;
    if (err != 0) {
      if (!report(path, err)) break;
      continue;
    }
    level_ = static_cast<int>(chain.depth());
    if (values.isDirectory &&
        !hasOption(options_, EnumerationOptions::skipsSubdirectoryDescendants) &&
        !(values.isPackage && hasOption(options_, EnumerationOptions::skipsPackageDescendants))) {
      descendPending_ = true;
      pendingName_ = values.name;
    }
    return values;
  }
  finished_ = true;
  return std::nullopt;
}

int64_t treeLogicalSize(const std::string& path, const std::function<bool()>& shouldStop) {
  return treeSizes(path, shouldStop).logical;
}

TreeSizes treeSizes(const std::string& path, const std::function<bool()>& shouldStop) {
  FolderChain chain;
  if (chain.openRoot(path, true) != 0) return {};
  int64_t total = 0;
  int64_t allocated = 0;
  // Hard-linked files: their blocks and the links seen below `path`.
  struct Linked {
    nlink_t seen = 0;
    nlink_t links = 0;
    int64_t blocks = 0;
  };
  std::map<std::pair<dev_t, ino_t>, Linked> linked;
  bool stopped = false;

  // Adds up the deepest folder's entries and keeps its sub-folders' names.
  auto sumTop = [&]() {
    FolderChain::Frame& frame = chain.top();
    const int fd = frame.fd.get();
    std::vector<FolderEntry> folders;
    chain.readEntries(fd, [&](const char* name, unsigned char type) {
      if (stopped) return;
      if (shouldStop && shouldStop()) {
        stopped = true;
        return;
      }
      // Folders have no size of their own here (as on the system the engine
      // was made for): only what they hold counts.
      if (type == DT_DIR) {
        folders.push_back(FolderEntry{name, type});
        return;
      }
      struct stat st {};
      if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
      if (S_ISDIR(st.st_mode)) {
        folders.push_back(FolderEntry{name, type});
      } else {
        total += static_cast<int64_t>(st.st_size);
        const int64_t blocks = static_cast<int64_t>(st.st_blocks) * 512;
        if (st.st_nlink <= 1) {
          allocated += blocks;
        } else {
          Linked& file = linked[{st.st_dev, st.st_ino}];
          file.seen += 1;
          file.links = st.st_nlink;
          file.blocks = blocks;
        }
      }
    });
    chain.top().entries = std::move(folders);
  };

  sumTop();
  while (!chain.empty() && !stopped) {
    FolderChain::Frame& frame = chain.top();
    if (frame.next >= frame.entries.size()) {
      chain.pop();
      continue;
    }
    const std::string name = frame.entries[frame.next++].name;
    const bool last = frame.next >= frame.entries.size();
    if (chain.push(name, last) != 0) continue;  // unreadable: its own size is already counted
    sumTop();
  }
  for (const auto& [id, file] : linked) {
    if (file.seen >= file.links) allocated += file.blocks;
  }
  return {total, allocated};
}

}  // namespace orvexa
