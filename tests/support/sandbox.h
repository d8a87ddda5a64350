// A file tree under a temporary root (laid out like the paths table's layout,
// macOS unless a test chooses Linux), with the paths table and
// identity pointed at it for the life of the object.
//
//   Sandbox sb;  // user "tester", home <root>/Users/tester
//   sb.layout({"~/Library/Caches/a.db:100",      // a file of 100 bytes
//              "~/Library/Caches/B/",            // a folder
//              "/Library/Caches/x.cache:5",      // under the root
//              "/Volumes/USB/.Trashes/0/f:10"});
//
// "~/" names the user's home, "/" the sandbox root. A trailing "/" makes a
// folder; ":N" gives a file N bytes (default 0) of filler content.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"
#include "support/temp_dir.h"

namespace orvexa::testing {

class Sandbox {
 public:
  explicit Sandbox(std::string userName = "tester") : user_(std::move(userName)) {
    Identity::shared().setUserName(user_);
    Paths::shared().setRoot(dir_.path());
    home_ = makeDirAt(Paths::shared().userHome());
  }
  ~Sandbox() {
    Paths::shared().reset();
    Identity::shared().reset();
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& root() const { return dir_.path(); }
  // The paths table's home when the sandbox was made.
  std::string home() const { return home_; }
  // The real path of a sandbox path ("~/x" or "/x").
  std::string path(std::string_view p) const {
    if (p == "~" || p.starts_with("~/")) return home() + std::string(p.substr(1));
    return dir_.path() + (p.starts_with('/') ? "" : "/") + std::string(p);
  }

  void layout(std::initializer_list<std::string_view> entries) const {
    for (std::string_view entry : entries) {
      if (entry.ends_with('/')) {
        dir(entry);
        continue;
      }
      const size_t colon = entry.rfind(':');
      const bool sized = colon != std::string_view::npos && colon + 1 < entry.size() &&
                         entry.find_first_not_of("0123456789", colon + 1) == std::string_view::npos;
      file(sized ? entry.substr(0, colon) : entry,
           sized ? std::stoul(std::string(entry.substr(colon + 1))) : 0);
    }
  }
  // One file with the given content; returns its real path.
  std::string file(std::string_view sandboxPath, std::string_view content) const {
    return writeFileAt(path(sandboxPath), content);
  }
  std::string file(std::string_view sandboxPath, size_t size) const {
    return file(sandboxPath, std::string(size, 'x'));
  }
  std::string dir(std::string_view sandboxPath) const { return makeDirAt(path(sandboxPath)); }

 private:
  TempDir dir_;
  std::string user_;
  std::string home_;
};

}  // namespace orvexa::testing
