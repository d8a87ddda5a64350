#include "orvexa/platform/keyed_archive.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "orvexa/platform/utf8.h"

namespace orvexa {
namespace {

constexpr double kAppleEpochOffset = 978307200.0;
constexpr int64_t kArchiveVersion = 100000;

bool fail(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
  return false;
}

// ---- Decoding --------------------------------------------------------------

// A reference in either form: a UID, or {"CF$UID": n}.
std::optional<uint64_t> referenceOf(const PlistValue& value) {
  if (auto uid = value.asUid()) return uid->value;
  const PlistValue::Dictionary* dict = value.asDictionary();
  if (dict == nullptr || dict->entries.size() != 1 || dict->entries[0].first != "CF$UID") {
    return std::nullopt;
  }
  std::optional<int64_t> n = dict->entries[0].second.asInteger();
  if (!n || *n < 0) return std::nullopt;
  return static_cast<uint64_t>(*n);
}

enum class ClassKind { Dictionary, Array, String, Data, Date, Uuid, Url };

std::optional<ClassKind> kindOfClassName(std::string_view name) {
  static const std::map<std::string_view, ClassKind> kKinds = {
      {"NSDictionary", ClassKind::Dictionary},
      {"NSMutableDictionary", ClassKind::Dictionary},
      {"NSArray", ClassKind::Array},
      {"NSMutableArray", ClassKind::Array},
      {"NSSet", ClassKind::Array},
      {"NSMutableSet", ClassKind::Array},
      {"NSOrderedSet", ClassKind::Array},
      {"NSMutableOrderedSet", ClassKind::Array},
      {"NSString", ClassKind::String},
      {"NSMutableString", ClassKind::String},
      {"NSData", ClassKind::Data},
      {"NSMutableData", ClassKind::Data},
      {"NSDate", ClassKind::Date},
      {"NSUUID", ClassKind::Uuid},
      {"NSURL", ClassKind::Url},
  };
  auto it = kKinds.find(name);
  if (it == kKinds.end()) return std::nullopt;
  return it->second;
}

std::string uuidText(const PlistValue::Data& bytes) {
  std::string text;
  char hex[3];
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
    text += hex;
  }
  return text;
}

class Decoder {
 public:
  explicit Decoder(const PlistValue::Array& objects)
      : objects_(objects), open_(objects.size(), false) {}

  // The value object `ref` stands for; nil (the "$null" object) is an error
  // unless `nil` is given, which then says whether it was met.
  bool decodeReference(uint64_t ref, int depth, PlistValue* out, bool* nil = nullptr) {
    if (ref >= objects_.size()) {
      return fail("reference " + std::to_string(ref) + " out of range (" +
                  std::to_string(objects_.size()) + " objects)");
    }
    if (nil != nullptr) *nil = false;
    const PlistValue& object = objects_[static_cast<size_t>(ref)];
    if (const std::string* text = object.asString(); text != nullptr && *text == "$null") {
      if (nil == nullptr) return fail("nil where a value is needed");
      *nil = true;
      return true;
    }
    if (depth > kMaxKeyedArchiveDepth) {
      return fail("nesting deeper than " + std::to_string(kMaxKeyedArchiveDepth) + " levels");
    }
    if (open_[static_cast<size_t>(ref)]) {
      return fail("reference cycle through object " + std::to_string(ref));
    }
    // An object referenced from several places is decoded at each of them
    // (the values are copies); the budgets bound what a graph that shares
    // objects can expand to.
    open_[static_cast<size_t>(ref)] = true;
    const bool ok = decodeObject(object, depth, out);
    open_[static_cast<size_t>(ref)] = false;
    return ok;
  }

  const std::string& error() const { return error_; }

 private:
  bool fail(std::string text) {
    error_ = std::move(text);
    return false;
  }

  // Counts one value and the bytes of its text or data.
  bool count(const PlistValue& value) {
    if (++values_ > kMaxKeyedArchiveValues) {
      return fail("more than " + std::to_string(kMaxKeyedArchiveValues) + " values");
    }
    if (const std::string* text = value.asString()) bytes_ += text->size();
    if (const PlistValue::Data* data = value.asData()) bytes_ += data->size();
    if (bytes_ > kMaxKeyedArchiveBytes) {
      return fail("more than " + std::to_string(kMaxKeyedArchiveBytes) + " bytes of text and data");
    }
    return true;
  }

  bool decodeObject(const PlistValue& object, int depth, PlistValue* out) {
    switch (object.type()) {
      case PlistValue::Type::String:
      case PlistValue::Type::Integer:
      case PlistValue::Type::Real:
      case PlistValue::Type::Boolean:
      case PlistValue::Type::Date:
      case PlistValue::Type::Bytes:
        if (!count(object)) return false;
        *out = object;
        return true;
      case PlistValue::Type::Dictionary:
        return decodeInstance(object, depth, out);
      case PlistValue::Type::Array:
      case PlistValue::Type::Uid:
        break;
    }
    return fail("an object that is neither a value nor an instance");
  }

  // A field of an instance: inline, or by reference.
  bool field(const PlistValue& instance, std::string_view key, int depth, PlistValue* out) {
    const PlistValue* value = instance.find(key);
    if (value == nullptr) return fail("missing \"" + std::string(key) + "\"");
    if (auto ref = referenceOf(*value)) return decodeReference(*ref, depth + 1, out);
    if (value->isArray() || value->isDictionary()) {
      return fail("\"" + std::string(key) + "\" holds a container inline");
    }
    *out = *value;
    return true;
  }

  std::optional<ClassKind> classOf(const PlistValue& instance) {
    const PlistValue* classRef = instance.find("$class");
    std::optional<uint64_t> ref = classRef != nullptr ? referenceOf(*classRef) : std::nullopt;
    if (!ref) {
      fail("an instance without \"$class\"");
      return std::nullopt;
    }
    if (*ref >= objects_.size()) {
      fail("class reference " + std::to_string(*ref) + " out of range");
      return std::nullopt;
    }
    const PlistValue& cls = objects_[static_cast<size_t>(*ref)];
    const PlistValue* name = cls.find("$classname");
    const std::string* nameText = name != nullptr ? name->asString() : nullptr;
    if (nameText == nullptr) {
      fail("a class without \"$classname\"");
      return std::nullopt;
    }
    if (auto kind = kindOfClassName(*nameText)) return kind;
    if (const PlistValue* chain = cls.find("$classes")) {
      if (const PlistValue::Array* names = chain->asArray()) {
        for (const PlistValue& ancestor : *names) {
          const std::string* text = ancestor.asString();
          if (text == nullptr) continue;
          if (auto kind = kindOfClassName(*text)) return kind;
        }
      }
    }
    fail("unsupported class " + *nameText);
    return std::nullopt;
  }

  const PlistValue::Array* referenceList(const PlistValue& instance, std::string_view key) {
    const PlistValue* list = instance.find(key);
    const PlistValue::Array* array = list != nullptr ? list->asArray() : nullptr;
    if (array == nullptr) fail("\"" + std::string(key) + "\" is not a list");
    return array;
  }

  bool decodeList(const PlistValue::Array& refs, int depth, PlistValue::Array* out) {
    out->reserve(refs.size());
    for (const PlistValue& item : refs) {
      std::optional<uint64_t> ref = referenceOf(item);
      if (!ref) return fail("a list entry that is not a reference");
      PlistValue value;
      if (!decodeReference(*ref, depth + 1, &value)) return false;
      out->push_back(std::move(value));
    }
    return true;
  }

  bool decodeInstance(const PlistValue& instance, int depth, PlistValue* out) {
    std::optional<ClassKind> kind = classOf(instance);
    if (!kind) return false;
    if (!count(PlistValue())) return false;
    switch (*kind) {
      case ClassKind::Dictionary: {
        const PlistValue::Array* keys = referenceList(instance, "NS.keys");
        if (keys == nullptr) return false;
        const PlistValue::Array* values = referenceList(instance, "NS.objects");
        if (values == nullptr) return false;
        if (keys->size() != values->size()) return fail("as many keys as values needed");
        PlistValue::Array keyValues;
        PlistValue::Array valueValues;
        if (!decodeList(*keys, depth, &keyValues) || !decodeList(*values, depth, &valueValues)) {
          return false;
        }
        PlistValue::Dictionary dict;
        dict.entries.reserve(keys->size());
        for (size_t i = 0; i < keyValues.size(); ++i) {
          const std::string* key = keyValues[i].asString();
          if (key == nullptr) return fail("a dictionary key that is not a string");
          dict.entries.emplace_back(*key, std::move(valueValues[i]));
        }
        *out = PlistValue(std::move(dict));
        return true;
      }
      case ClassKind::Array: {
        const PlistValue::Array* refs = referenceList(instance, "NS.objects");
        if (refs == nullptr) return false;
        PlistValue::Array items;
        if (!decodeList(*refs, depth, &items)) return false;
        *out = PlistValue(std::move(items));
        return true;
      }
      case ClassKind::String: {
        PlistValue text;
        if (!field(instance, "NS.string", depth, &text)) return false;
        if (text.asString() == nullptr) return fail("\"NS.string\" is not a string");
        *out = std::move(text);
        return true;
      }
      case ClassKind::Data: {
        PlistValue data;
        if (!field(instance, "NS.data", depth, &data)) return false;
        if (data.asData() == nullptr) return fail("\"NS.data\" is not data");
        *out = std::move(data);
        return true;
      }
      case ClassKind::Date: {
        PlistValue time;
        if (!field(instance, "NS.time", depth, &time)) return false;
        std::optional<double> seconds = time.asReal();
        if (!seconds) return fail("\"NS.time\" is not a number");
        *out = PlistValue(PlistValue::DateValue{*seconds + kAppleEpochOffset});
        return true;
      }
      case ClassKind::Uuid: {
        PlistValue bytes;
        if (!field(instance, "NS.uuidbytes", depth, &bytes)) return false;
        const PlistValue::Data* data = bytes.asData();
        if (data == nullptr || data->size() != 16) return fail("\"NS.uuidbytes\" is not 16 bytes");
        *out = PlistValue(uuidText(*data));
        return true;
      }
      case ClassKind::Url: {
        if (const PlistValue* base = instance.find("NS.base")) {
          std::optional<uint64_t> ref = referenceOf(*base);
          if (!ref) return fail("\"NS.base\" is not a reference");
          bool nil = false;
          PlistValue ignored;
          if (!decodeReference(*ref, depth + 1, &ignored, &nil)) return false;
          if (!nil) return fail("a URL relative to a base URL");
        }
        PlistValue relative;
        if (!field(instance, "NS.relative", depth, &relative)) return false;
        if (relative.asString() == nullptr) return fail("\"NS.relative\" is not a string");
        *out = std::move(relative);
        return true;
      }
    }
    return fail("unsupported class");
  }

  const PlistValue::Array& objects_;
  std::vector<bool> open_;
  size_t values_ = 0;
  size_t bytes_ = 0;
  std::string error_;
};

// ---- Encoding --------------------------------------------------------------

// True for text the property-list writer stores unchanged: valid UTF-8
// without NUL (it writes C strings, and re-encodes non-ASCII text).
bool isWritableText(std::string_view text) {
  return text.find('\0') == std::string_view::npos && isValidUtf8(text);
}

class Encoder {
 public:
  Encoder() { objects_.emplace_back("$null"); }

  bool encode(const PlistValue& value, int depth, uint64_t* ref) {
    if (depth > kMaxKeyedArchiveDepth) {
      return fail("nesting deeper than " + std::to_string(kMaxKeyedArchiveDepth) + " levels");
    }
    if (const std::string* text = value.asString()) {
      if (!isWritableText(*text)) {
        return fail("a text that is not valid UTF-8 or holds NUL cannot be archived");
      }
      if (*text == "$null") {
        // Inline, this text would read back as nil.
        PlistValue instance = PlistValue::dictionary();
        instance.set("NS.string", *text);
        instance.set("$class", classReference("NSString", {"NSString", "NSObject"}));
        *ref = add(std::move(instance));
        return true;
      }
      auto [it, added] = strings_.try_emplace(*text, objects_.size());
      if (added) objects_.push_back(value);
      *ref = it->second;
      return true;
    }
    if (std::optional<PlistValue::DateValue> date = value.asDate()) {
      PlistValue instance = PlistValue::dictionary();
      instance.set("NS.time", date->secondsSince1970 - kAppleEpochOffset);
      instance.set("$class", classReference("NSDate", {"NSDate", "NSObject"}));
      *ref = add(std::move(instance));
      return true;
    }
    if (const PlistValue::Array* array = value.asArray()) {
      const uint64_t self = add(PlistValue::dictionary());  // filled below
      PlistValue::Array refs;
      for (const PlistValue& item : *array) {
        uint64_t child = 0;
        if (!encode(item, depth + 1, &child)) return false;
        refs.emplace_back(PlistValue::Uid{child});
      }
      PlistValue instance = PlistValue::dictionary();
      instance.set("NS.objects", PlistValue(std::move(refs)));
      instance.set("$class", classReference("NSArray", {"NSArray", "NSObject"}));
      objects_[static_cast<size_t>(self)] = std::move(instance);
      *ref = self;
      return true;
    }
    if (const PlistValue::Dictionary* dict = value.asDictionary()) {
      const uint64_t self = add(PlistValue::dictionary());
      PlistValue::Array keys;
      PlistValue::Array values;
      for (const auto& [key, item] : dict->entries) {
        uint64_t keyRef = 0;
        uint64_t valueRef = 0;
        if (!encode(PlistValue(key), depth + 1, &keyRef)) return false;
        if (!encode(item, depth + 1, &valueRef)) return false;
        keys.emplace_back(PlistValue::Uid{keyRef});
        values.emplace_back(PlistValue::Uid{valueRef});
      }
      PlistValue instance = PlistValue::dictionary();
      instance.set("NS.keys", PlistValue(std::move(keys)));
      instance.set("NS.objects", PlistValue(std::move(values)));
      instance.set("$class", classReference("NSDictionary", {"NSDictionary", "NSObject"}));
      objects_[static_cast<size_t>(self)] = std::move(instance);
      *ref = self;
      return true;
    }
    if (value.type() != PlistValue::Type::Uid) {  // integers, reals, booleans, data
      *ref = add(value);
      return true;
    }
    return fail("a UID cannot be archived");
  }

  PlistValue::Array takeObjects() { return std::move(objects_); }
  const std::string& error() const { return error_; }

 private:
  bool fail(std::string text) {
    error_ = std::move(text);
    return false;
  }

  uint64_t add(PlistValue value) {
    objects_.push_back(std::move(value));
    return objects_.size() - 1;
  }

  PlistValue classReference(const std::string& name, const std::array<const char*, 2>& chain) {
    auto it = classes_.find(name);
    if (it == classes_.end()) {
      PlistValue::Array names;
      for (const char* n : chain) names.emplace_back(n);
      PlistValue cls = PlistValue::dictionary();
      cls.set("$classes", PlistValue(std::move(names)));
      cls.set("$classname", name);
      it = classes_.emplace(name, add(std::move(cls))).first;
    }
    return PlistValue(PlistValue::Uid{it->second});
  }

  PlistValue::Array objects_;
  std::map<std::string, uint64_t> strings_;
  std::map<std::string, uint64_t> classes_;
  std::string error_;
};

}  // namespace

std::optional<PlistValue> unarchiveObject(const PlistValue& archive, std::string* error) {
  if (!archive.isDictionary()) {
    fail(error, "not a keyed archive: the top level is not a dictionary");
    return std::nullopt;
  }
  const PlistValue* archiver = archive.find("$archiver");
  if (archiver == nullptr || archiver->asString() == nullptr ||
      *archiver->asString() != "NSKeyedArchiver") {
    fail(error, "not a keyed archive: no \"$archiver\" NSKeyedArchiver");
    return std::nullopt;
  }
  const PlistValue* objects = archive.find("$objects");
  const PlistValue::Array* objectList = objects != nullptr ? objects->asArray() : nullptr;
  if (objectList == nullptr) {
    fail(error, "not a keyed archive: no \"$objects\" list");
    return std::nullopt;
  }
  const PlistValue* top = archive.find("$top");
  const PlistValue* root = top != nullptr ? top->find("root") : nullptr;
  std::optional<uint64_t> ref = root != nullptr ? referenceOf(*root) : std::nullopt;
  if (!ref) {
    fail(error, "not a keyed archive: no \"$top\" root reference");
    return std::nullopt;
  }
  Decoder decoder(*objectList);
  PlistValue value;
  if (!decoder.decodeReference(*ref, 0, &value)) {
    fail(error, decoder.error());
    return std::nullopt;
  }
  return value;
}

std::optional<PlistValue> unarchiveObjectWithData(std::string_view bytes, std::string* error) {
  std::optional<PlistValue> archive = readPlist(bytes, error);
  if (!archive) return std::nullopt;
  return unarchiveObject(*archive, error);
}

std::optional<std::string> archivedDataWithRootObject(const PlistValue& root, std::string* error) {
  Encoder encoder;
  uint64_t rootRef = 0;
  if (!encoder.encode(root, 0, &rootRef)) {
    fail(error, encoder.error());
    return std::nullopt;
  }
  PlistValue top = PlistValue::dictionary();
  top.set("root", PlistValue(PlistValue::Uid{rootRef}));
  PlistValue archive = PlistValue::dictionary();
  archive.set("$version", PlistValue(kArchiveVersion));
  archive.set("$archiver", "NSKeyedArchiver");
  archive.set("$top", std::move(top));
  archive.set("$objects", PlistValue(encoder.takeObjects()));
  std::string bytes = writePlist(archive, PlistFormat::Binary);
  if (bytes.empty()) {
    fail(error, "the archive could not be written");
    return std::nullopt;
  }
  return bytes;
}

}  // namespace orvexa
