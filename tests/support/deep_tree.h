// Trees far deeper than PATH_MAX, for the tests that walkers, reports and
// removal neither recurse per level nor run out of descriptors.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "orvexa/platform/file_manager.h"
#include "support/temp_dir.h"

namespace orvexa::testing {

// A scratch folder on tmpfs when there is one (thousands of nested folders
// take many seconds of kernel time on a busy disk). Its content is removed
// with it, however deep.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = "/dev/shm/orvexa-deep-XXXXXX";
    if (::access("/dev/shm", W_OK) == 0 && ::mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
    } else {
      fallback_.emplace();
      path_ = fallback_->path();
    }
  }
  ~ScratchDir() {
    for (const std::string& name : contentsOfDirectory(path_)) (void)removeItem(path_ + "/" + name);
    if (!fallback_) ::rmdir(path_.c_str());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::optional<TempDir> fallback_;
  std::string path_;
};

// Creates a chain of `depth` folders named `name` below `base`, working
// relative to folder descriptors, with a file "f" of `fileSize` bytes in every
// `fileEvery`-th folder (none when 0) and in the deepest. Returns the number
// of files made, -1 on failure.
inline int makeDeepChain(const std::string& base, int depth, const std::string& name, int fileEvery,
                         size_t fileSize) {
  int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const std::string filler(fileSize, 'x');
  int files = 0;
  for (int level = 1; level <= depth; ++level) {
    int child = -1;
    if (::mkdirat(fd, name.c_str(), 0755) == 0) {
      child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    ::close(fd);
    if (child < 0) return -1;
    fd = child;
    if ((fileEvery > 0 && level % fileEvery == 0) || level == depth) {
      int f = ::openat(fd, "f", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      const bool written =
          f >= 0 && ::write(f, filler.data(), filler.size()) == static_cast<ssize_t>(filler.size());
      if (f >= 0) ::close(f);
      if (!written) {
        ::close(fd);
        return -1;
      }
      ++files;
    }
  }
  ::close(fd);
  return files;
}

}  // namespace orvexa::testing
