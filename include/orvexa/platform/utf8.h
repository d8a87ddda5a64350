// Checking text read from other programs (tool output, database names,
// document text, property-list strings) before it is used as UTF-8.
// Stateless; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvexa {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// NUL is valid UTF-8; callers that cannot take it check for it themselves.
bool isValidUtf8(std::string_view text);

// Appends code point `c` (at most U+10FFFF; the caller checks) as UTF-8.
void appendUtf8(std::string& out, uint32_t c);

}  // namespace orvexa
