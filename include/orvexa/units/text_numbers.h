// Numbers and dates as other programs' stores write them in text.
//
// Thread-safety: the functions keep no state. Errors: none; each says what a
// text that is no number gives.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orvexa {

// The text read as a number the way the platform reads texts: leading blanks
// skipped, the longest decimal prefix, 0 when there is none; a value too
// large is infinite, one too small 0.
double numberFromText(std::string_view text);
// A whole decimal integer (an optional sign, digits, nothing else).
std::optional<int64_t> integerFromText(std::string_view text);

// `seconds` since 1970 as a date; with `truncate`, cut to whole seconds, else
// to whole microseconds. Values that are not finite or outside what a date
// can hold (about +-292 years around 1970) give the current date.
std::chrono::system_clock::time_point dateFromSeconds(double seconds, bool truncate);

}  // namespace orvexa
