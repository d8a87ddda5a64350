// A look at raw property-list bytes before the property-list library parses
// them. The library (libplist 2.2) recurses once per level of nesting and
// asserts on a dictionary key holding NUL, so bytes that could make it
// overflow the stack or abort are refused first. Stateless; any thread.
#pragma once

#include <string_view>

namespace orvexa::detail {

enum class PlistShape { kReadable, kMalformed, kTooDeep, kKeyWithNul };

// kReadable when the containers nest at most `limit` deep and, for a binary
// list, the object table is well formed and acyclic and no dictionary key
// holds NUL. XML is judged by a tag count that may only overestimate the
// depth; its syntax is left to the parser.
PlistShape plistShape(std::string_view bytes, int limit);

// True when any text object of a binary property list holds a NUL
// character (a key or a value). Bytes that are not a well-formed binary
// list give false: the parser refuses those itself.
bool binaryPlistHasTextWithNul(std::string_view bytes);

}  // namespace orvexa::detail
