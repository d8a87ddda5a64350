#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"

namespace orvexa::testing {

Sandbox::Sandbox(std::string userName) : user_(std::move(userName)) {
  Identity::shared().setUserName(user_);
  Paths::shared().setRoot(dir_.path());
  home_ = Paths::shared().userHome();
  std::error_code ec;
  std::filesystem::create_directories(home_, ec);
}

Sandbox::~Sandbox() {
  Paths::shared().reset();
  Identity::shared().reset();
}

std::string Sandbox::home() const { return home_; }

std::string Sandbox::path(std::string_view p) const {
  if (p.substr(0, 2) == "~/") return home() + "/" + std::string(p.substr(2));
  if (p == "~") return home();
  if (!p.empty() && p.front() == '/') return dir_.path() + std::string(p);
  return dir_.path() + "/" + std::string(p);
}

std::string Sandbox::file(std::string_view sandboxPath, std::string_view content) const {
  std::string real = path(sandboxPath);
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(real).parent_path(), ec);
  std::ofstream out(real, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) ADD_FAILURE() << "cannot write " << real;
  return real;
}

std::string Sandbox::file(std::string_view sandboxPath, size_t size) const {
  return file(sandboxPath, std::string(size, 'x'));
}

std::string Sandbox::dir(std::string_view sandboxPath) const {
  std::string real = path(sandboxPath);
  std::error_code ec;
  std::filesystem::create_directories(real, ec);
  return real;
}

void Sandbox::layout(std::initializer_list<std::string_view> entries) const {
  for (std::string_view entry : entries) {
    if (!entry.empty() && entry.back() == '/') {
      dir(entry);
      continue;
    }
    size_t colon = entry.rfind(':');
    size_t size = 0;
    std::string_view name = entry;
    if (colon != std::string_view::npos && colon + 1 < entry.size() &&
        entry.find_first_not_of("0123456789", colon + 1) == std::string_view::npos) {
      size = std::stoul(std::string(entry.substr(colon + 1)));
      name = entry.substr(0, colon);
    }
    file(name, size);
  }
}

}  // namespace orvexa::testing
