// User defaults: small settings the library keeps for the host, stored as a
// binary property list (a dictionary) in the user's Preferences folder:
// <home>/Library/Preferences/<bundle id>.plist, or "Defaults.plist" there
// for a host without bundle identifier.
//
// Every read goes to the file and every change rewrites it (through a
// temporary file renamed into place), so two objects of one file, or a
// change of the paths table's root, never see stale values. A missing or
// unreadable file reads as empty.
//
// Thread-safety: safe for concurrent use; changes of one process do not
// interleave.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "orvexa/platform/plist.h"

namespace orvexa {

class UserDefaults {
 public:
  // The host's defaults; the file is worked out from the paths table and
  // the identity at each call.
  static UserDefaults& standard();
  // Defaults kept in the given file.
  explicit UserDefaults(std::string path);

  std::string path() const;

  std::optional<PlistValue> object(std::string_view key) const;
  // The value when it is a text.
  std::optional<std::string> string(std::string_view key) const;
  // False (with `error` when given) when the file cannot be written.
  bool set(const std::string& key, PlistValue value, std::string* error = nullptr);
  bool remove(std::string_view key, std::string* error = nullptr);

 private:
  UserDefaults() = default;  // standard()
  std::string path_;         // empty: the standard file
};

}  // namespace orvexa
