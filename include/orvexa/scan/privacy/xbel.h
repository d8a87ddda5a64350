// The freedesktop.org recent-files list (recently-used.xbel, an XBEL
// document): a small bounded reader that finds the <bookmark> elements and
// their byte spans, and an edit that takes some of them out and leaves
// every other byte as it was. Not a general XML parser: it knows comments,
// CDATA sections, quoted attribute values and the five named entities plus
// numeric character references, which is all the writers of this file use.
// Library-internal; pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvexa::privacy {

struct XbelBookmark {
  // The element's bytes [begin, end): from the start of its line when only
  // blanks come before it there, through its line end when only blanks
  // follow it, so that removing it leaves no empty line.
  size_t begin = 0;
  size_t end = 0;
  std::string href;      // the href attribute, entities decoded
  std::string modified;  // "modified" (else "visited", else "added"), as written
};

// At most this many bookmarks are read; a longer list is refused.
inline constexpr size_t kMaxXbelBookmarks = 100000;

// The bookmarks of `text`, in document order. Nothing when the text has no
// <xbel> element, holds an unterminated tag, comment or element, or has too
// many bookmarks.
std::optional<std::vector<XbelBookmark>> readXbel(std::string_view text);

// `text` without the bookmarks whose `removed` flag is set (`bookmarks` as
// readXbel gave them for this text; missing flags count as false).
std::string withoutXbelBookmarks(std::string_view text, const std::vector<XbelBookmark>& bookmarks,
                                 const std::vector<bool>& removed);

}  // namespace orvexa::privacy
