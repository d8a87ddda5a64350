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

#include "support/temp_dir.h"

namespace orvexa::testing {

class Sandbox {
 public:
  explicit Sandbox(std::string userName = "tester");
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& root() const { return dir_.path(); }
  std::string home() const;  // the paths table's home when the sandbox was made
  // The real path of a sandbox path ("~/x" or "/x").
  std::string path(std::string_view sandboxPath) const;

  void layout(std::initializer_list<std::string_view> entries) const;
  // One file with the given content; returns its real path.
  std::string file(std::string_view sandboxPath, std::string_view content) const;
  std::string file(std::string_view sandboxPath, size_t size) const;
  std::string dir(std::string_view sandboxPath) const;

 private:
  TempDir dir_;
  std::string user_;
  std::string home_;
};

}  // namespace orvexa::testing
