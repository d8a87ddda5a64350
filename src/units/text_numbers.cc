#include "orvexa/units/text_numbers.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

namespace orvexa {

double numberFromText(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])) != 0) ++at;
  if (at < text.size() && text[at] == '+') {
    ++at;
    if (at < text.size() && text[at] == '-') return 0;
  }
  double value = 0;
  auto [end, ec] = std::from_chars(text.data() + at, text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // The platform reads a text too large for a number as infinite (which no
    // date rule accepts) and one too small as 0.
    std::string_view matched = text.substr(at, static_cast<size_t>(end - (text.data() + at)));
    const size_t exponent = matched.find_first_of("eE");
    const bool tiny = exponent != std::string_view::npos
                          ? matched.substr(exponent + 1, 1) == "-"
                          : matched.find_first_of("123456789") == std::string_view::npos;
    if (tiny) return 0;
    return !matched.empty() && matched.front() == '-' ? -HUGE_VAL : HUGE_VAL;
  }
  if (ec != std::errc()) return 0;
  return value;
}

std::optional<int64_t> integerFromText(std::string_view text) {
  if (text.empty()) return std::nullopt;
  size_t at = text.front() == '+' ? 1 : 0;
  if (at == 1 && text.size() > 1 && text[1] == '-') return std::nullopt;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data() + at, text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || at == text.size()) {
    return std::nullopt;
  }
  return value;
}

std::chrono::system_clock::time_point dateFromSeconds(double seconds, bool truncate) {
  using Date = std::chrono::system_clock::time_point;
  // The clock counts nanoseconds in 64 bits.
  constexpr double kLimit = 9.2e9;
  if (!std::isfinite(seconds) || seconds <= -kLimit || seconds >= kLimit) {
    return std::chrono::system_clock::now();
  }
  const double whole = truncate ? std::trunc(seconds) : std::floor(seconds);
  Date date{std::chrono::seconds(static_cast<int64_t>(whole))};
  if (!truncate) {
    // To the microsecond: finer digits of a double of this size are noise.
    date += std::chrono::duration_cast<Date::duration>(
        std::chrono::microseconds(std::llround((seconds - whole) * 1e6)));
  }
  return date;
}

}  // namespace orvexa
