// Fuzz target: the recent-files list reader and its edit. For any text the
// reader accepts, the bookmark spans are ordered, disjoint and inside the
// text; taking out any subset removes exactly those bytes, and the edit of
// an empty subset is the text itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "orvexa/scan/privacy/xbel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t pattern = data[0];  // which bookmarks go
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto bookmarks = orvexa::privacy::readXbel(text);
  if (!bookmarks) return 0;
  size_t previousEnd = 0;
  size_t removedBytes = 0;
  std::vector<bool> removed;
  for (size_t i = 0; i < bookmarks->size(); ++i) {
    const auto& b = (*bookmarks)[i];
    if (b.begin < previousEnd || b.end <= b.begin || b.end > text.size()) std::abort();
    previousEnd = b.end;
    removed.push_back(((pattern >> (i % 8)) & 1) != 0);
    if (removed.back()) removedBytes += b.end - b.begin;
  }
  if (orvexa::privacy::withoutXbelBookmarks(text, *bookmarks, {}) != text) std::abort();
  const std::string edited = orvexa::privacy::withoutXbelBookmarks(text, *bookmarks, removed);
  if (edited.size() != text.size() - removedBytes) std::abort();
  (void)orvexa::privacy::readXbel(edited);
  return 0;
}
