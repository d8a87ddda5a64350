// Regular expressions for the whole library, over PCRE2 (8-bit, UTF-8).
// Library-internal; the public face is `SuperScanService::regexGetSub` and
// `LoginItemsAndLauchAgentsService::regexGetSub`, both `matchesOf`.
//
// Syntax is PCRE2's (a superset of the platform expression language the
// patterns were written for). Texts and patterns are UTF-8; a text that is
// not valid UTF-8 is still matched (its bad bytes match nothing). "." takes
// any character but a line break ("\n", "\r", "\r\n" and the Unicode line
// separators), "$" is the end of the text (or before a final line break).
//
// Why PCRE2 rather than std::regex: libstdc++ matches by recursion, one stack
// frame per character a quantifier consumes, so a lazy "[\S\s]*?" over a long
// tool listing overflows the stack. PCRE2's interpreter keeps its backtracking
// on the heap, and its JIT (used where the platform has one) on a bounded
// stack of its own; a match that needs more JIT stack is rerun through the
// interpreter. Every match runs under a step budget and a memory bound, so a
// hostile pattern or text (nested quantifiers over a near-match) ends
// instead of running away: the matches found so far are returned.
//
// Ownership and threads: a compiled expression owns its PCRE2 code (move
// only) and is immutable after `compile`; one may be used from many threads
// at once (each match allocates its own match data). No function throws.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct pcre2_real_code_8;  // PCRE2's compiled pattern (pcre2_code with 8-bit units)

namespace orvexa::internal {

class RegularExpression {
 public:
  enum class Case { sensitive, insensitive };

  // Nothing when the pattern does not compile.
  static std::optional<RegularExpression> compile(std::string_view pattern,
                                                  Case letterCase = Case::sensitive);

  // The first match starting at or after byte `from`: (start, length) in
  // bytes. Nothing when there is none, or when the step budget ran out.
  std::optional<std::pair<size_t, size_t>> search(std::string_view text, size_t from) const;

  // The text of every non-overlapping whole match, in order; after an empty
  // match the next search starts one character further.
  std::vector<std::string> allMatches(std::string_view text) const;

 private:
  struct CodeFree {
    void operator()(pcre2_real_code_8* code) const;
  };
  using Code = std::unique_ptr<pcre2_real_code_8, CodeFree>;
  explicit RegularExpression(Code code) : code_(std::move(code)) {}
  Code code_;
};

// Every whole match of `pattern` in `text`, in order, case-sensitively; a
// pattern that does not compile gives none.
std::vector<std::string> matchesOf(std::string_view pattern, std::string_view text);

}  // namespace orvexa::internal
