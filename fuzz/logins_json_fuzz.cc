// Fuzz target: the byte-exact edit of a logins.json store. For any valid JSON
// text whose top-level object holds a "logins" array, taking out any subset
// of its elements must leave valid JSON with that many fewer elements; the
// positions of invalid text are never used (the caller checks first).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "clean/privacy_store_edits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t pattern = data[0];  // which elements go
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (!nlohmann::json::accept(text)) return 0;
  const orvexa::privacy::JsonSpans json(text);
  const size_t open = json.skipBlank(0);
  if (json.at(open) != '{') return 0;
  const auto members = json.members(open);
  size_t named = 0;
  for (const auto& member : members) named += member.key == "logins" ? 1 : 0;
  for (const auto& member : members) {
    if (member.key != "logins" || json.at(member.value.first) != '[') continue;
    const std::vector<orvexa::privacy::Span> elements = json.elements(member.value.first);
    std::vector<bool> removed;
    size_t kept = 0;
    for (size_t i = 0; i < elements.size(); ++i) {
      removed.push_back(((pattern >> (i % 8)) & 1) != 0);
      kept += removed.back() ? 0 : 1;
    }
    const std::string edited = orvexa::privacy::withoutJsonElements(text, elements, removed);
    const nlohmann::json after = nlohmann::json::parse(edited, nullptr, false);
    if (after.is_discarded()) std::abort();
    // With one "logins" key, the array lost exactly the elements taken out.
    if (named == 1 && after["logins"].size() != kept) std::abort();
    break;
  }
  return 0;
}
