// Property-list values for tests that build dictionaries inline.
#pragma once

#include <initializer_list>

#include "orvexa/platform/plist.h"

namespace orvexa::testing {

// A dictionary of the entries in their order (a repeated key keeps its first
// place and takes the last value).
inline PlistValue plistDict(std::initializer_list<PlistValue::Entry> entries) {
  PlistValue dict = PlistValue::dictionary();
  for (const auto& [key, value] : entries) dict.set(key, value);
  return dict;
}

}  // namespace orvexa::testing
