// Case folding of the ASCII letters only, the same in every locale: for
// file extensions, identifiers, keys and names other programs write. Every
// other byte, UTF-8 included, is kept as it is.
//
// Thread-safety: pure functions. Errors: none.
#pragma once
#include <algorithm>
#include <string>
#include <string_view>

namespace orvexa {

inline char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = asciiLower(c);
  return out;
}

inline bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return asciiLower(x) == asciiLower(y);
         });
}

}  // namespace orvexa
