// Bookmark data: the "book" blobs with which other programs (the shared file
// lists, the Finder's recent folders) remember a file. Resolution here reads
// the path the bookmark recorded; it does not look the file up by its
// identifiers, so a file moved since the bookmark was made resolves to where
// it was, and a resolved path need not exist.
//
// The subset read (all integers little-endian, 32-bit unsigned):
//   offset 0   "book"
//   offset 4   total length L of the bookmark (at most the blob's size)
//   offset 8   version (not checked)
//   offset 12  header length H (16 <= H, H + 4 <= L)
//   offset H   offset of the first table of contents, relative to H
// A table of contents at H + t: length (excluding its first 8 bytes), magic
// 0xFFFFFFFE, identifier, offset of the next table (relative to H, 0 ends the
// chain), entry count N, then N entries of (key, item offset relative to H,
// reserved). An item at H + o: payload length, type, payload. Read are the
// key 0x1004 (the path), whose item is an array (type 0x0601) of item
// offsets, each a UTF-8 string (type 0x0101) naming one path component. The
// first table holding the key wins; tables are followed for at most 64 links
// and a chain that loops is unreadable.
//
// The path is "/" followed by the components joined with "/" ("/" for none).
// Anything else — a short blob, a wrong magic, offsets or lengths outside the
// blob, a path item that is not an array of strings, an empty component or
// one holding "/" or NUL — makes the bookmark unreadable: no path.
//
// Thread-safety: the functions keep no state and are safe for concurrent use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvexa {

// The path the bookmark records, or nothing when the blob is unreadable.
std::optional<std::string> resolvingBookmarkData(std::string_view data);

// A bookmark recording `path` (an absolute path) in the subset above, with
// one table of contents. Relative paths are recorded as if absolute.
std::string bookmarkDataForPath(std::string_view path);

}  // namespace orvexa
