#include "orvexa/platform/user_defaults.h"

#include <mutex>

#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/paths.h"

namespace orvexa {
namespace {

std::mutex& filesMutex() {
  static std::mutex* mu = new std::mutex;  // never destroyed: defaults may be written late
  return *mu;
}

PlistValue readDictionary(const std::string& path) {
  if (!fileExists(path)) return PlistValue::dictionary();
  std::optional<PlistValue> value = readPlistFile(path);
  if (!value || !value->isDictionary()) return PlistValue::dictionary();
  return *value;
}

bool writeDictionary(const std::string& path, const PlistValue& dict, std::string* error) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    FileStatus made = createDirectory(path.substr(0, slash), true);
    if (!made.ok()) {
      if (error != nullptr) *error = made.message();
      return false;
    }
  }
  return writePlistFile(path, dict, PlistFormat::Binary, error);
}

}  // namespace

UserDefaults& UserDefaults::standard() {
  static UserDefaults* instance = new UserDefaults;
  return *instance;
}

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) {}

std::string UserDefaults::path() const {
  if (!path_.empty()) return path_;
  const std::string bundle = Identity::shared().bundleIdentifier();
  return Paths::shared().userLibrary() + "/Preferences/" +
         (bundle.empty() ? std::string("Defaults") : bundle) + ".plist";
}

std::optional<PlistValue> UserDefaults::object(std::string_view key) const {
  const std::string file = path();
  std::lock_guard lock(filesMutex());
  PlistValue dict = readDictionary(file);
  if (const PlistValue* value = dict.find(key)) return *value;
  return std::nullopt;
}

std::optional<std::string> UserDefaults::string(std::string_view key) const {
  std::optional<PlistValue> value = object(key);
  if (value && value->asString() != nullptr) return *value->asString();
  return std::nullopt;
}

bool UserDefaults::set(const std::string& key, PlistValue value, std::string* error) {
  const std::string file = path();
  std::lock_guard lock(filesMutex());
  PlistValue dict = readDictionary(file);
  dict.set(key, std::move(value));
  return writeDictionary(file, dict, error);
}

bool UserDefaults::remove(std::string_view key, std::string* error) {
  const std::string file = path();
  std::lock_guard lock(filesMutex());
  PlistValue dict = readDictionary(file);
  PlistValue::Dictionary* entries = dict.asDictionary();
  if (entries == nullptr || dict.find(key) == nullptr) return true;
  std::erase_if(entries->entries, [key](const PlistValue::Entry& e) { return e.first == key; });
  return writeDictionary(file, dict, error);
}

}  // namespace orvexa
