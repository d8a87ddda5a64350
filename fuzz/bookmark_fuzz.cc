// Fuzz target: the bookmark reader. Whatever the bytes, reading must end
// without a crash or a sanitizer report; a path that is read must be
// absolute and survive being recorded in a new bookmark.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "orvexa/platform/bookmark.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> path = orvexa::resolvingBookmarkData(bytes);
  if (!path) return 0;
  if (path->empty() || path->front() != '/') __builtin_trap();
  if (orvexa::resolvingBookmarkData(orvexa::bookmarkDataForPath(*path)) != path) __builtin_trap();
  return 0;
}
