// Fuzz target: the keyed-archive decoder. Whatever the bytes, decoding must
// end without a crash, a sanitizer report, a hang or unbounded memory; what
// decodes must encode again (unless it holds text the writer cannot store)
// and decode to the same values.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "orvexa/platform/keyed_archive.h"

namespace {

using orvexa::PlistValue;

bool sameReal(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  if (a == b) return true;
  // Dates pass through a 2001-based second count and back.
  const double scale = std::fmax(std::fmax(std::fabs(a), std::fabs(b)), 978307200.0);
  return std::fabs(a - b) <= scale * 1e-12;
}

bool same(const PlistValue& a, const PlistValue& b) {
  if (a.type() != b.type()) return false;
  if (const auto* x = a.asArray()) {
    const auto* y = b.asArray();
    if (x->size() != y->size()) return false;
    for (size_t i = 0; i < x->size(); ++i) {
      if (!same((*x)[i], (*y)[i])) return false;
    }
    return true;
  }
  if (const auto* x = a.asDictionary()) {
    const auto* y = b.asDictionary();
    if (x->entries.size() != y->entries.size()) return false;
    for (size_t i = 0; i < x->entries.size(); ++i) {
      if (x->entries[i].first != y->entries[i].first) return false;
      if (!same(x->entries[i].second, y->entries[i].second)) return false;
    }
    return true;
  }
  if (auto x = a.asDate()) return sameReal(x->secondsSince1970, b.asDate()->secondsSince1970);
  if (a.type() == PlistValue::Type::Real) return sameReal(*a.asReal(), *b.asReal());
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string error;
  std::optional<PlistValue> value = orvexa::unarchiveObjectWithData(bytes, &error);
  if (!value) return 0;
  std::optional<std::string> again = orvexa::archivedDataWithRootObject(*value, &error);
  if (!again) {
    // Decoded values are archivable, except texts the writer cannot store
    // unchanged, which the encoder refuses.
    if (error.rfind("a text that is not valid UTF-8", 0) == 0) return 0;
    __builtin_trap();
  }
  std::optional<PlistValue> back = orvexa::unarchiveObjectWithData(*again, &error);
  if (!back || !same(*value, *back)) __builtin_trap();
  return 0;
}
