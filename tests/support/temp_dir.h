// A real temporary directory per test, removed afterwards unless the test
// failed (then its path is printed, so the evidence can be looked at).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace orvexa::testing {

// Creates the folder `path` and those above it; returns `path`.
inline std::string makeDirAt(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return path;
}

// Writes `content` to `path`, creating the folders above it; returns `path`.
// A failure to write fails the test.
inline std::string writeFileAt(const std::string& path, std::string_view content) {
  makeDirAt(std::filesystem::path(path).parent_path());
  if (!(std::ofstream(path, std::ios::binary) << content)) ADD_FAILURE() << "cannot write " << path;
  return path;
}

// Whole content of a file; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whole content of tests/data/<name>: fixture data kept out of the code.
inline std::string testData(std::string_view name) {
  std::string text = readFile(ORVEXA_TEST_DATA_DIR "/" + std::string(name));
  if (text.empty()) ADD_FAILURE() << "no test data " << name;
  return text;
}

class TempDir {
 public:
  TempDir() {
    path_ = (std::filesystem::temp_directory_path() / "orvexa-test-XXXXXX").string();
    if (::mkdtemp(path_.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  }
  ~TempDir() {
    namespace fs = std::filesystem;
    if (::testing::Test::HasFailure()) {
      std::fprintf(stderr, "kept temporary directory of failed test: %s\n", path_.c_str());
      return;
    }
    std::error_code ec;
    // Tests may leave read-only folders behind: make them removable first.
    for (auto it = fs::recursive_directory_iterator(
             path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
      }
    }
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative.
  std::string operator/(std::string_view relative) const {
    return path_ + "/" + std::string(relative);
  }

  // Writes `content` to path()/relative, creating intermediate folders.
  std::string writeFile(std::string_view relative, std::string_view content) const {
    return writeFileAt(*this / relative, content);
  }
  // Creates path()/relative and its intermediate folders.
  std::string makeDir(std::string_view relative) const { return makeDirAt(*this / relative); }

 private:
  std::string path_;
};

}  // namespace orvexa::testing
