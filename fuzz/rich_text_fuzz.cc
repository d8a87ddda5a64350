// Fuzz target: the Rich Text reader and the plain-text decoding. Must end
// without a crash, a sanitizer report or a hang, and keep the text within its
// budget and valid UTF-8 whatever the bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "orvexa/scan/similar_text/document_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  constexpr size_t kBudget = 4096;
  if (orvexa::richTextBody(bytes, kBudget).size() > kBudget) std::abort();
  const std::string text = orvexa::textAsUtf8(bytes);
  if (text.find('\0') != std::string::npos) std::abort();
  return 0;
}
