// Trees far deeper than PATH_MAX, for the tests that walkers, reports and
// removal neither recurse per level nor run out of descriptors.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "orvexa/platform/file_manager.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

namespace orvexa::testing {

// A scratch folder on tmpfs when there is one (thousands of nested folders
// take many seconds of kernel time on a busy disk). Its content is removed
// with it, however deep.
class ScratchDir {
 public:
  ScratchDir() {
    if (::access("/dev/shm", W_OK) != 0 || ::mkdtemp(path_.data()) == nullptr) {
      path_ = fallback_.emplace().path();
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
  std::string path_ = "/dev/shm/orvexa-deep-XXXXXX";
};

// Creates a chain of `depth` folders named `name` below `base`, working
// relative to folder descriptors, with a file "f" of `fileSize` bytes in every
// `fileEvery`-th folder (none when 0) and in the deepest. Returns the number
// of files made, -1 on failure.
inline int makeDeepChain(const std::string& base, int depth, const std::string& name, int fileEvery,
                         size_t fileSize) {
  detail::UniqueFd fd(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::string filler(fileSize, 'x');
  int files = 0;
  for (int level = 1; fd && level <= depth; ++level) {
    if (::mkdirat(fd.get(), name.c_str(), 0755) != 0) return -1;
    fd = detail::UniqueFd(::openat(fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd && ((fileEvery > 0 && level % fileEvery == 0) || level == depth)) {
      detail::UniqueFd f(::openat(fd.get(), "f", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
      if (!f || ::write(f.get(), filler.data(), filler.size()) != static_cast<ssize_t>(fileSize)) {
        return -1;
      }
      ++files;
    }
  }
  return fd ? files : -1;
}

}  // namespace orvexa::testing
