#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "orvexa/units/log_service.h"

namespace fs = std::filesystem;

namespace orvexa::testing {

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "orvexa-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
  }
  path_ = tmpl;
}

TempDir::~TempDir() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info != nullptr && info->result()->Failed()) {
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

std::string TempDir::operator/(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

std::string TempDir::writeFile(std::string_view relative, std::string_view content) const {
  return writeFileAt(*this / relative, content);
}

std::string TempDir::makeDir(std::string_view relative) const {
  std::string p = *this / relative;
  std::error_code ec;
  fs::create_directories(p, ec);
  return p;
}

std::string writeFileAt(const std::string& path, std::string_view content) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) ADD_FAILURE() << "cannot write " << path;
  return path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string testData(std::string_view name) {
  std::string text = readFile(ORVEXA_TEST_DATA_DIR "/" + std::string(name));
  if (text.empty()) ADD_FAILURE() << "no test data " << name;
  return text;
}

size_t logSize() {
  LogService::shard().flush();
  std::error_code ec;
  auto size = fs::file_size(LogService::shard().logPath(), ec);
  return ec ? 0 : static_cast<size_t>(size);
}

std::string logSince(size_t offset) {
  LogService::shard().flush();
  std::string all = readFile(LogService::shard().logPath());
  return offset < all.size() ? all.substr(offset) : std::string();
}

}  // namespace orvexa::testing
