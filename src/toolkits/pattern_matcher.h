// A small regular-expression matcher for the tool-output parsers of the
// tool kits. Library-internal.
//
// Why not std::regex: libstdc++ matches by recursion, one stack frame per
// character a quantifier consumes, so a lazy "[\S\s]*?" over the listing of
// a few thousand launch services overflows the stack. This matcher runs a
// breadth-first simulation (a Pike machine): time O(text x pattern), memory
// O(pattern), no recursion over the text.
//
// Syntax (the common subset of the platform's expression language):
// literals; "." (any byte but "\n" and "\r"); classes "[...]" and "[^...]"
// with ranges and the escapes below; "\d \D \w \W \s \S"; "\n \t \r \f \v
// \0 \xHH"; any other escaped punctuation stands for itself; groups "(...)"
// and "(?:...)" (grouping only); alternation "|"; quantifiers "* + ? {n}
// {n,} {n,m}", each greedy or lazy (trailing "?"); anchors "^" and "$" (the
// start and the end of the text) and "\b \B". An escaped letter outside this
// list, an unbalanced parenthesis or bracket, or a quantifier with nothing
// to repeat makes the pattern invalid.
//
// Matching works on bytes (UTF-8 text is matched byte by byte); with
// `caseInsensitive` ASCII letters match either case. Among the matches that
// start leftmost, the one the pattern's priorities prefer wins (greedy takes
// the longest, lazy the shortest), as backtracking matchers do.
//
// Thread-safety: a compiled matcher is immutable; share it freely.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvexa::toolkits {

class PatternMatcher {
 public:
  // Nothing when the pattern is invalid (or too large to compile).
  static std::optional<PatternMatcher> compile(std::string_view pattern, bool caseInsensitive);

  // The first match starting at or after `from`: (start, length).
  std::optional<std::pair<size_t, size_t>> search(std::string_view text, size_t from) const;

  // Every non-overlapping match, in order; after an empty match the next
  // search starts one byte further.
  std::vector<std::string> allMatches(std::string_view text) const;

  struct Program;

 private:
  explicit PatternMatcher(std::shared_ptr<const Program> program) : program_(std::move(program)) {}
  std::shared_ptr<const Program> program_;
};

}  // namespace orvexa::toolkits
