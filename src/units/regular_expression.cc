#include "units/regular_expression.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace orvexa::internal {
namespace {

// The step budget of one search: far above what the tool listings need (a
// lazy block pattern over megabytes of text), far below a runaway's hours.
constexpr uint32_t kMatchLimit = 50'000'000;
// The interpreter's backtracking memory, in KiB (PCRE2's own default is
// 20 GiB): a pattern that needs more fails its search instead.
constexpr uint32_t kHeapLimitKiB = 64 * 1024;

struct MatchDataFree {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
struct MatchContextFree {
  void operator()(pcre2_match_context* context) const { pcre2_match_context_free(context); }
};
struct CompileContextFree {
  void operator()(pcre2_compile_context* context) const { pcre2_compile_context_free(context); }
};

// Read only once built (pcre2_match does not write it), so one serves every
// thread.
pcre2_match_context* matchContext() {
  static const std::unique_ptr<pcre2_match_context, MatchContextFree> context = [] {
    std::unique_ptr<pcre2_match_context, MatchContextFree> made(
        pcre2_match_context_create(nullptr));
    if (made) {
      pcre2_set_match_limit(made.get(), kMatchLimit);
      pcre2_set_heap_limit(made.get(), kHeapLimitKiB);
    }
    return made;
  }();
  return context.get();
}

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

void RegularExpression::CodeFree::operator()(pcre2_real_code_8* code) const {
  pcre2_code_free(code);
}

std::optional<RegularExpression> RegularExpression::compile(std::string_view pattern,
                                                            Case letterCase) {
  std::unique_ptr<pcre2_compile_context, CompileContextFree> context(
      pcre2_compile_context_create(nullptr));
  if (!context) return std::nullopt;
  pcre2_set_newline(context.get(), PCRE2_NEWLINE_ANY);
  uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
  if (letterCase == Case::insensitive) options |= PCRE2_CASELESS;
  int error = 0;
  PCRE2_SIZE errorOffset = 0;
  Code code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options,
                          &error, &errorOffset, context.get()));
  if (!code) return std::nullopt;
  // Without a JIT (an unsupported processor, or memory that may not be made
  // executable) every match runs in the interpreter.
  pcre2_jit_compile(code.get(), PCRE2_JIT_COMPLETE);
  return RegularExpression(std::move(code));
}

namespace {

using MatchData = std::unique_ptr<pcre2_match_data, MatchDataFree>;

std::optional<std::pair<size_t, size_t>> firstMatch(const pcre2_code* code, pcre2_match_data* data,
                                                    std::string_view text, size_t from) {
  if (!data || from > text.size()) return std::nullopt;
  const auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  int found = pcre2_match(code, subject, text.size(), from, 0, data, matchContext());
  if (found == PCRE2_ERROR_JIT_STACKLIMIT) {
    found = pcre2_match(code, subject, text.size(), from, PCRE2_NO_JIT, data, matchContext());
  }
  if (found < 0) return std::nullopt;
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
  // "\K" in a lookahead can put the end before the start: no usable match.
  if (ovector[1] < ovector[0]) return std::nullopt;
  return std::make_pair(static_cast<size_t>(ovector[0]),
                        static_cast<size_t>(ovector[1] - ovector[0]));
}

}  // namespace

std::optional<std::pair<size_t, size_t>> RegularExpression::search(std::string_view text,
                                                                   size_t from) const {
  const MatchData data(pcre2_match_data_create_from_pattern(code_.get(), nullptr));
  return firstMatch(code_.get(), data.get(), text, from);
}

std::vector<std::string> RegularExpression::allMatches(std::string_view text) const {
  const MatchData data(pcre2_match_data_create_from_pattern(code_.get(), nullptr));
  std::vector<std::string> matches;
  for (size_t from = 0; from <= text.size();) {
    const std::optional<std::pair<size_t, size_t>> match =
        firstMatch(code_.get(), data.get(), text, from);
    if (!match) break;
    matches.emplace_back(text.substr(match->first, match->second));
    from = match->first + match->second;
    if (match->second == 0) {
      ++from;
      while (from < text.size() && isContinuationByte(text[from])) ++from;
    }
  }
  return matches;
}

std::vector<std::string> matchesOf(std::string_view pattern, std::string_view text) {
  const std::optional<RegularExpression> expression = RegularExpression::compile(pattern);
  return expression ? expression->allMatches(text) : std::vector<std::string>{};
}

}  // namespace orvexa::internal
