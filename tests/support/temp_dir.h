// A real temporary directory per test, removed afterwards unless the test
// failed (then its path is printed, so the evidence can be looked at).
#pragma once

#include <string>
#include <string_view>

namespace orvexa::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string operator/(std::string_view relative) const;

  // Writes `content` to path()/relative, creating intermediate folders.
  std::string writeFile(std::string_view relative, std::string_view content) const;
  // Creates path()/relative and its intermediate folders.
  std::string makeDir(std::string_view relative) const;

 private:
  std::string path_;
};

// Writes `content` to `path`, creating the folders above it; returns `path`.
// A failure to write fails the test.
std::string writeFileAt(const std::string& path, std::string_view content);
// Whole content of a file; empty when it cannot be read.
std::string readFile(const std::string& path);
// Whole content of tests/data/<name>: fixture data kept out of the code.
std::string testData(std::string_view name);

// Lines appended to the shared log since `offset`; the shared log is flushed
// first. logSize() gives the offset to start from.
size_t logSize();
std::string logSince(size_t offset);

}  // namespace orvexa::testing
