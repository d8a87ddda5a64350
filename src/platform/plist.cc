#include "orvexa/platform/plist.h"

#include <plist/plist.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/file_writer.h"
#include "orvexa/platform/posix_error.h"
#include "platform/plist_shape.h"
#include "platform/plist_text.h"

namespace orvexa {
namespace {

// The file formats count dates from 2001-01-01T00:00:00Z.
constexpr double kAppleEpochOffset = 978307200.0;
// Deeper documents are refused rather than risking the stack.
constexpr int kMaxDepth = 512;
// Binary lists expanding to more objects are refused rather than risking
// the memory (a reference to a shared object is copied each time).
constexpr uint64_t kMaxObjects = uint64_t{1} << 20;

struct PlistDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

bool fromNode(plist_t node, int depth, PlistValue* out, std::string* error) {
  if (depth > kMaxDepth) {
    *error = "nesting deeper than " + std::to_string(kMaxDepth) + " levels";
    return false;
  }
  switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
      PlistValue::Dictionary dict;
      plist_dict_iter rawIter = nullptr;
      plist_dict_new_iter(node, &rawIter);
      MallocPtr<void> iter(rawIter);
      for (;;) {
        char* rawKey = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, rawIter, &rawKey, &item);
        MallocPtr<char> key(rawKey);
        if (item == nullptr) break;
        PlistValue value;
        if (!fromNode(item, depth + 1, &value, error)) return false;
        dict.entries.emplace_back(key ? std::string(key.get()) : std::string(), std::move(value));
      }
      *out = PlistValue(std::move(dict));
      return true;
    }
    case PLIST_ARRAY: {
      PlistValue::Array array;
      uint32_t size = plist_array_get_size(node);
      array.reserve(size);
      for (uint32_t i = 0; i < size; ++i) {
        PlistValue value;
        if (!fromNode(plist_array_get_item(node, i), depth + 1, &value, error)) return false;
        array.push_back(std::move(value));
      }
      *out = PlistValue(std::move(array));
      return true;
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      *out = PlistValue(text != nullptr ? std::string(text, static_cast<size_t>(length))
                                        : std::string());
      return true;
    }
    case PLIST_UINT: {
      uint64_t value = 0;
      plist_get_uint_val(node, &value);
      // Negative integers are stored as their two's complement.
      *out = PlistValue(static_cast<int64_t>(value));
      return true;
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      *out = PlistValue(value);
      return true;
    }
    case PLIST_BOOLEAN: {
      uint8_t value = 0;
      plist_get_bool_val(node, &value);
      *out = PlistValue(value != 0);
      return true;
    }
    case PLIST_DATE: {
      int32_t sec = 0;
      int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      *out = PlistValue(PlistValue::DateValue{static_cast<double>(sec) + kAppleEpochOffset +
                                              static_cast<double>(usec) / 1e6});
      return true;
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      PlistValue::Data data;
      if (bytes != nullptr) {
        const auto* begin = reinterpret_cast<const uint8_t*>(bytes);
        data.assign(begin, begin + length);
      }
      *out = PlistValue(std::move(data));
      return true;
    }
    case PLIST_UID: {
      uint64_t value = 0;
      plist_get_uid_val(node, &value);
      *out = PlistValue(PlistValue::Uid{value});
      return true;
    }
    default:
      *error = "unsupported value type";
      return false;
  }
}

plist_t newDate(double secondsSince1970) {
  double t = secondsSince1970 - kAppleEpochOffset;
  if (std::isnan(t)) t = 0;
  // The formats' 32-bit second count bounds the range (about 1932 to 2069).
  constexpr auto kMin = static_cast<double>(std::numeric_limits<int32_t>::min());
  constexpr auto kMax = static_cast<double>(std::numeric_limits<int32_t>::max());
  if (t < kMin) t = kMin;
  if (t > kMax) t = kMax;
  double whole = std::floor(t);
  auto usec = static_cast<int32_t>(std::lround((t - whole) * 1e6));
  auto sec = static_cast<int64_t>(whole);
  if (usec >= 1000000) {
    usec -= 1000000;
    if (sec < std::numeric_limits<int32_t>::max()) ++sec;
  }
  return plist_new_date(static_cast<int32_t>(sec), usec);
}

plist_t toNode(const PlistValue& value) {
  if (const auto* dict = value.asDictionary()) {
    plist_t node = plist_new_dict();
    for (const auto& [key, item] : dict->entries) {
      plist_dict_set_item(node, key.c_str(), toNode(item));
    }
    return node;
  }
  if (const auto* array = value.asArray()) {
    plist_t node = plist_new_array();
    for (const auto& item : *array) plist_array_append_item(node, toNode(item));
    return node;
  }
  if (const auto* text = value.asString()) return plist_new_string(text->c_str());
  if (const auto* data = value.asData()) {
    return plist_new_data(reinterpret_cast<const char*>(data->data()), data->size());
  }
  if (auto date = value.asDate()) return newDate(date->secondsSince1970);
  if (auto uid = value.asUid()) return plist_new_uid(uid->value);
  if (auto flag = value.asBoolean()) return plist_new_bool(*flag ? 1 : 0);
  if (auto integer = value.asInteger()) return plist_new_uint(static_cast<uint64_t>(*integer));
  if (auto real = value.asReal()) return plist_new_real(*real);
  return plist_new_dict();  // unreachable: every alternative is handled above
}

bool looksLikeXml(std::string_view bytes) {
  size_t start = bytes.find_first_not_of(" \t\r\n");
  if (start != std::string_view::npos && bytes.substr(start, 3) == "\xEF\xBB\xBF") {
    start = bytes.find_first_not_of(" \t\r\n", start + 3);
  }
  return start != std::string_view::npos && bytes[start] == '<';
}

bool setError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
  return false;
}

}  // namespace

std::optional<int64_t> PlistValue::asInteger() const {
  if (const auto* i = std::get_if<int64_t>(&value_)) return *i;
  return std::nullopt;
}

std::optional<double> PlistValue::asReal() const {
  if (const auto* r = std::get_if<double>(&value_)) return *r;
  if (const auto* i = std::get_if<int64_t>(&value_)) return static_cast<double>(*i);
  return std::nullopt;
}

std::optional<bool> PlistValue::asBoolean() const {
  if (const auto* b = std::get_if<bool>(&value_)) return *b;
  return std::nullopt;
}

std::optional<PlistValue::DateValue> PlistValue::asDate() const {
  if (const auto* d = std::get_if<DateValue>(&value_)) return *d;
  return std::nullopt;
}

std::optional<PlistValue::Uid> PlistValue::asUid() const {
  if (const auto* u = std::get_if<Uid>(&value_)) return *u;
  return std::nullopt;
}

const PlistValue* PlistValue::find(std::string_view key) const {
  const Dictionary* dict = asDictionary();
  if (dict == nullptr) return nullptr;
  for (const auto& entry : dict->entries) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

PlistValue* PlistValue::find(std::string_view key) {
  return const_cast<PlistValue*>(std::as_const(*this).find(key));
}

void PlistValue::set(std::string key, PlistValue value) {
  Dictionary* dict = asDictionary();
  if (dict == nullptr) return;
  for (auto& entry : dict->entries) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  dict->entries.emplace_back(std::move(key), std::move(value));
}

void PlistValue::append(PlistValue value) {
  if (Array* array = asArray()) array->push_back(std::move(value));
}

std::optional<PlistValue> readPlist(std::string_view bytes, std::string* error) {
  if (bytes.empty()) {
    setError(error, "empty input");
    return std::nullopt;
  }
  if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
    setError(error, "input larger than 4 GiB");
    return std::nullopt;
  }
  // Sloppy XML (UTF-16, a bare "&", bytes after the root) is tidied before
  // the shape check, so the nesting count sees what the parser will read.
  std::optional<std::string> tidy;
  if (bytes.substr(0, 6) != "bplist") {
    tidy = detail::tidyXmlPlist(bytes);
    if (!tidy) {
      setError(error, "not an XML or binary property list");
      return std::nullopt;
    }
    bytes = *tidy;
  }
  switch (detail::plistShape(bytes, kMaxDepth, kMaxObjects)) {
    case detail::PlistShape::kReadable:
      break;
    case detail::PlistShape::kMalformed:
      setError(error, "malformed binary property list");
      return std::nullopt;
    case detail::PlistShape::kTooDeep:
      setError(error, "nesting deeper than " + std::to_string(kMaxDepth) + " levels");
      return std::nullopt;
    case detail::PlistShape::kKeyWithNul:
      setError(error, "a dictionary key holds NUL");
      return std::nullopt;
    case detail::PlistShape::kTooLarge:
      setError(error, "more than " + std::to_string(kMaxObjects) + " objects once expanded");
      return std::nullopt;
  }
  const auto length = static_cast<uint32_t>(bytes.size());
  const bool binary = plist_is_binary(bytes.data(), length) != 0;
  plist_t raw = nullptr;
  plist_from_memory(bytes.data(), length, &raw);
  PlistPtr root(raw);
  if (!root) {
    if (binary) {
      setError(error, "malformed binary property list");
    } else if (looksLikeXml(bytes)) {
      setError(error, "malformed XML property list");
    } else {
      setError(error, "not an XML or binary property list");
    }
    return std::nullopt;
  }
  PlistValue value;
  std::string why;
  if (!fromNode(root.get(), 0, &value, &why)) {
    setError(error, why);
    return std::nullopt;
  }
  return value;
}

std::optional<PlistValue> readPlistFile(const std::string& path, std::string* error) {
  std::string why;
  std::optional<std::string> bytes = readRegularFile(path, kMaxStoreFileBytes, &why);
  if (!bytes) {
    setError(error, why);
    return std::nullopt;
  }
  std::optional<PlistValue> value = readPlist(*bytes, &why);
  if (!value) setError(error, path + ": " + why);
  return value;
}

std::string writePlist(const PlistValue& value, PlistFormat format) {
  PlistPtr root(toNode(value));
  char* raw = nullptr;
  uint32_t length = 0;
  std::string result;
  if (format == PlistFormat::Binary) {
    plist_to_bin(root.get(), &raw, &length);
    if (raw != nullptr) result.assign(raw, length);
    plist_to_bin_free(raw);
  } else {
    plist_to_xml(root.get(), &raw, &length);
    if (raw != nullptr) result.assign(raw, length);
    plist_to_xml_free(raw);
  }
  return result;
}

bool writePlistFile(const std::string& path, const PlistValue& value, PlistFormat format,
                    std::string* error) {
  const std::string bytes = writePlist(value, format);
  if (bytes.empty()) return setError(error, path + ": the value could not be encoded");

  if (FileStatus written = writeFileAtomically(path, bytes); !written.ok()) {
    return setError(error, written.message());
  }
  return true;
}

}  // namespace orvexa
