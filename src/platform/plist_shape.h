// A look at raw property-list bytes before the property-list library parses
// them. The library (libplist 2.2) recurses once per level of nesting and
// asserts on a dictionary key holding NUL, so bytes that could make it
// overflow the stack or abort are refused first. Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvexa::detail {

enum class PlistShape { kReadable, kMalformed, kTooDeep, kKeyWithNul, kTooLarge };

// kReadable when the containers nest at most `limit` deep and, for a binary
// list, the object table is well formed and acyclic, no dictionary key holds
// NUL and the list expands to at most `maxObjects` objects (a shared object
// counted each time it is reached, as the reader copies it each time:
// kTooLarge otherwise). XML is judged by a tag count that may only
// overestimate the depth (see xmlNestingWithin); its syntax is left to the
// parser. Time and memory linear in the size of `bytes`.
PlistShape plistShape(std::string_view bytes, int limit, uint64_t maxObjects);

// Where the markup starting at text[at] ("<") ends when it is a comment, a
// processing instruction or a declaration such as <!DOCTYPE ...> (quoted
// strings and an internal subset in brackets included): the index just past
// it; npos when it is unterminated; `at` itself when it is none of these
// (a tag, CDATA, or text).
size_t xmlSkippedMarkupEnd(std::string_view text, size_t at);

// True when any text object of a binary property list holds a NUL
// character (a key or a value). Bytes that are not a well-formed binary
// list give false: the parser refuses those itself.
bool binaryPlistHasTextWithNul(std::string_view bytes);

}  // namespace orvexa::detail
