// Edits of other programs' files that keep every byte outside what they
// remove: entries are cut out of the original text as byte spans, and the
// rest is never parsed into values and written anew. Library-internal; pure
// functions over the caller's text, safe on any thread.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvexa/platform/plist.h"

namespace orvexa::privacy {

using Span = std::pair<size_t, size_t>;  // [start, end) of a text

// Positions in JSON text, so that entries can be cut out of another
// program's file with every other byte kept: numbers keep their digits,
// repeated keys, key order and layout stay. The text must be valid JSON
// (the caller checks it, e.g. with nlohmann::json::accept; positions in
// anything else mean nothing) and must outlive this view of it. Iterative,
// so nesting depth costs no stack.
class JsonSpans {
 public:
  struct Member {
    std::string key;  // decoded
    Span value;
  };

  explicit JsonSpans(std::string_view text) : text_(text) {}

  size_t skipBlank(size_t from) const {
    while (from < text_.size() && isBlank(text_[from])) ++from;
    return from;
  }
  char at(size_t position) const { return position < text_.size() ? text_[position] : '\0'; }
  std::string_view text(Span span) const {
    return text_.substr(span.first, span.second - span.first);
  }

  // The elements of the array whose "[" is at `open`.
  std::vector<Span> elements(size_t open) const {
    std::vector<Span> spans;
    for (size_t next = skipBlank(open + 1); at(next) != ']';) {
      spans.emplace_back(next, valueEnd(next));
      next = skipBlank(spans.back().second);
      if (at(next) != ',') break;
      next = skipBlank(next + 1);
    }
    return spans;
  }

  // The members of the object whose "{" is at `open`, in order, repeats kept.
  std::vector<Member> members(size_t open) const {
    std::vector<Member> list;
    for (size_t next = skipBlank(open + 1); at(next) == '"';) {
      const size_t keyEnd = stringEnd(next);
      std::string key = decoded(text({next, keyEnd}));
      const size_t value = skipBlank(skipBlank(keyEnd) + 1);  // past ":"
      list.push_back({std::move(key), {value, valueEnd(value)}});
      next = skipBlank(list.back().value.second);
      if (at(next) != ',') break;
      next = skipBlank(next + 1);
    }
    return list;
  }

  // The value of the last member named `key` (the one a reader keeps), if
  // `value` is an object that has one.
  std::optional<Span> lastMember(Span value, std::string_view key) const {
    if (at(value.first) != '{') return std::nullopt;
    std::optional<Span> found;
    for (const Member& member : members(value.first)) {
      if (member.key == key) found = member.value;
    }
    return found;
  }

 private:
  static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

  size_t stringEnd(size_t open) const {
    for (size_t i = open + 1; i < text_.size(); ++i) {
      if (text_[i] == '\\') {
        ++i;
      } else if (text_[i] == '"') {
        return i + 1;
      }
    }
    return text_.size();
  }

  size_t valueEnd(size_t start) const {
    const char first = at(start);
    if (first == '"') return stringEnd(start);
    size_t i = start;
    if (first != '{' && first != '[') {
      while (i < text_.size() && !isBlank(text_[i]) && std::strchr(",]}", text_[i]) == nullptr) {
        ++i;
      }
      return i;
    }
    for (size_t depth = 0; i < text_.size(); ++i) {
      const char c = text_[i];
      if (c == '"') {
        i = stringEnd(i) - 1;
      } else if (c == '{' || c == '[') {
        ++depth;
      } else if ((c == '}' || c == ']') && --depth == 0) {
        return i + 1;
      }
    }
    return i;
  }

  // A key as written (with its quotes), decoded.
  static std::string decoded(std::string_view quoted);

  std::string_view text_;
};

// JSON `text` without the array elements that `removed` marks (one flag per
// span of `elements`), each taken out with one adjacent comma: the one after
// it, or for the last element the one before it.
std::string withoutJsonElements(std::string_view text, const std::vector<Span>& elements,
                                const std::vector<bool>& removed);

// The property list `bytes` (parsed: `list`) without the entries that
// `removed` marks (one flag per entry) of the array stored under `key` in its
// top-level dictionary. An XML list in which the key appears once loses just
// those elements with the blanks before them; every other byte stays. A
// binary list cannot be cut so (its offset table and object references
// would all move): it is written anew from `list`, in binary, which keeps
// the values, their types and the order of keys, but not the file's layout,
// objects it stored once for several references, a key a dictionary holds
// twice, text after a NUL in a string, or dates past 2038. Empty when the
// array is not there or the list cannot be written.
std::string withoutPlistEntries(const std::string& bytes, PlistValue list, std::string_view key,
                                const std::vector<bool>& removed);

}  // namespace orvexa::privacy
