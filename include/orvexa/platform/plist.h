// Property-list values: one small value type read from and written to XML
// and binary property lists (through libplist). Dictionaries keep the order
// of their keys as read or inserted.
//
// Dates are seconds since 1970-01-01T00:00:00Z (the file formats count from
// 2001; conversion happens here and nowhere else).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace orvexa {

class PlistValue {
 public:
  // The kinds, in the order of the variant below. Bytes is a data value: the
  // name Data is the byte buffer type (units/gzip.h) and must not be shadowed.
  enum class Type { Dictionary, Array, String, Integer, Real, Boolean, Date, Bytes, Uid };

  struct DateValue {
    double secondsSince1970 = 0;
    friend bool operator==(const DateValue&, const DateValue&) = default;
  };
  struct Uid {
    uint64_t value = 0;
    friend bool operator==(const Uid&, const Uid&) = default;
  };
  using Data = std::vector<uint8_t>;
  using Array = std::vector<PlistValue>;
  using Entry = std::pair<std::string, PlistValue>;
  struct Dictionary {
    std::vector<Entry> entries;
    // Defined after PlistValue is complete (clang needs the entry type whole).
    friend bool operator==(const Dictionary& a, const Dictionary& b);
  };

  PlistValue() : value_(Dictionary{}) {}  // an empty dictionary
  PlistValue(Dictionary d) : value_(std::move(d)) {}
  PlistValue(Array a) : value_(std::move(a)) {}
  PlistValue(std::string s) : value_(std::move(s)) {}
  PlistValue(const char* s) : value_(std::string(s)) {}
  PlistValue(int64_t i) : value_(i) {}
  PlistValue(int i) : value_(int64_t{i}) {}
  PlistValue(double r) : value_(r) {}
  PlistValue(bool b) : value_(b) {}
  PlistValue(DateValue d) : value_(d) {}
  PlistValue(Data d) : value_(std::move(d)) {}
  PlistValue(Uid u) : value_(u) {}

  static PlistValue dictionary() { return PlistValue(Dictionary{}); }
  static PlistValue array() { return PlistValue(Array{}); }

  Type type() const { return static_cast<Type>(value_.index()); }
  bool isDictionary() const { return type() == Type::Dictionary; }
  bool isArray() const { return type() == Type::Array; }

  // Typed reads: the value when it has that type, else nothing / nullptr.
  const std::string* asString() const { return std::get_if<std::string>(&value_); }
  std::optional<int64_t> asInteger() const;
  std::optional<double> asReal() const;  // integers convert
  std::optional<bool> asBoolean() const;
  std::optional<DateValue> asDate() const;
  const Data* asData() const { return std::get_if<Data>(&value_); }
  std::optional<Uid> asUid() const;
  const Array* asArray() const { return std::get_if<Array>(&value_); }
  Array* asArray() { return std::get_if<Array>(&value_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&value_); }
  Dictionary* asDictionary() { return std::get_if<Dictionary>(&value_); }

  // Dictionary access: the first entry with that key, or nullptr (also when
  // this is not a dictionary).
  const PlistValue* find(std::string_view key) const;
  PlistValue* find(std::string_view key);
  // Sets (replacing in place, or appending) a dictionary entry. No effect
  // when this is not a dictionary.
  void set(std::string key, PlistValue value);
  // Appends to an array. No effect when this is not an array.
  void append(PlistValue value);

  friend bool operator==(const PlistValue&, const PlistValue&) = default;

 private:
  std::variant<Dictionary, Array, std::string, int64_t, double, bool, DateValue, Data, Uid> value_;
};

inline bool operator==(const PlistValue::Dictionary& a, const PlistValue::Dictionary& b) {
  return a.entries == b.entries;
}

enum class PlistFormat { Xml, Binary };

// Parses XML or binary property-list bytes. Nothing on malformed input;
// `error` (when given) then says why. XML is read as real files hold it,
// more leniently than the format allows: UTF-16 (either byte order, told by
// its byte-order mark or its first character), a "&" that starts no reference
// (read as itself), a missing XML declaration, and anything after the
// closing </plist>; comments, processing instructions and the DOCTYPE are
// dropped before parsing.
//
// Limits, checked on the bytes before the parser sees them, in time and
// memory linear in their size: nesting deeper than 512 levels is refused
// either way ("nesting deeper than 512 levels"), and so is a binary list that
// expands to more than 1,048,576 objects, a shared object counted each time
// it is referred to ("more than 1048576 objects once expanded"). Input is
// at most 4 GiB.
std::optional<PlistValue> readPlist(std::string_view bytes, std::string* error = nullptr);
// The file is read through readRegularFile (at most kMaxStoreFileBytes):
// a named pipe, socket or device where a list is expected is an error.
std::optional<PlistValue> readPlistFile(const std::string& path, std::string* error = nullptr);

std::string writePlist(const PlistValue& value, PlistFormat format);
// Replaces `path` in one step (writeFileAtomically, file_writer.h).
bool writePlistFile(const std::string& path, const PlistValue& value, PlistFormat format,
                    std::string* error = nullptr);

}  // namespace orvexa
