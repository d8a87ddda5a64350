// Fuzz target: the regular expressions of the tool-output parsers (launchctl
// listings and the like). The input's first line is a pattern, the rest a
// tool's output; the output is also matched by the launchctl block pattern
// the login-items parser uses. Compiling and matching must end without a
// crash, a sanitizer report or a hang (each search has a step budget), and
// every match must lie within the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "units/regular_expression.h"

namespace {

using orvexa::internal::RegularExpression;

void matchAll(std::string_view pattern, std::string_view text) {
  const auto expression = RegularExpression::compile(pattern, RegularExpression::Case::insensitive);
  if (!expression) return;
  for (size_t from = 0; from <= text.size();) {
    const auto match = expression->search(text, from);
    if (!match) break;
    if (match->first < from || match->first + match->second > text.size()) std::abort();
    from = match->first + (match->second == 0 ? 1 : match->second);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  if (newline == std::string_view::npos || newline > 256) return 0;
  const std::string_view text = input.substr(newline + 1);
  matchAll(input.substr(0, newline), text);
  matchAll(R"(\{[\S\s]*?\})", text);
  return 0;
}
