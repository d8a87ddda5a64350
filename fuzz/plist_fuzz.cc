// Fuzz target: the property-list reader, XML and binary (also the reader of
// module description files). Whatever the bytes, reading must end without a
// crash, a sanitizer report, a hang or unbounded memory (the shape check
// refuses deep nesting and binary lists that expand past their budget); what
// is read, when small, must write in both formats and read back.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "orvexa/platform/plist.h"

namespace {

// Counts the values of `value` up to `limit` (iteratively: no stack per level).
size_t countUpTo(const orvexa::PlistValue& value, size_t limit) {
  std::vector<const orvexa::PlistValue*> pending{&value};
  size_t count = 0;
  while (!pending.empty() && count < limit) {
    const orvexa::PlistValue* v = pending.back();
    pending.pop_back();
    ++count;
    if (const auto* array = v->asArray()) {
      for (const auto& item : *array) pending.push_back(&item);
    } else if (const auto* dict = v->asDictionary()) {
      for (const auto& entry : dict->entries) pending.push_back(&entry.second);
    }
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::optional<orvexa::PlistValue> value = orvexa::readPlist(bytes);
  // Large expansions (up to the budget) are legal but slow to write twice.
  if (!value || countUpTo(*value, 10000) >= 10000) return 0;
  for (orvexa::PlistFormat format : {orvexa::PlistFormat::Xml, orvexa::PlistFormat::Binary}) {
    // Writing cannot fail for a value that was read; reading it back can only
    // refuse what the writer cannot store (text holding NUL, say).
    (void)orvexa::readPlist(orvexa::writePlist(*value, format));
  }
  return 0;
}
