// Made-up prose for the similar-text tests.
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace orvexa::testing {

// Prose-like text of about `bytes` bytes from a vocabulary of 2,000 made-up
// words, so unrelated texts share words but not sentences.
inline std::string wordsText(uint32_t seed, size_t bytes) {
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < bytes) {
    const auto w = static_cast<uint32_t>(random() % 2000);
    text += {static_cast<char>('a' + w % 26), static_cast<char>('a' + w / 26 % 26),
             static_cast<char>('a' + w / 676)};
    text += (random() % 15 == 0) ? ".\n" : " ";
  }
  return text;
}

}  // namespace orvexa::testing
