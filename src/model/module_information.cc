#include "orvexa/model/module_information.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "orvexa/model/category_information.h"
#include "orvexa/model/feature_information.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "orvexa/units/log_service.h"

namespace orvexa {

extern const std::string_view kDefaultFeaturePlist;
extern const std::string_view kLinuxFeaturePlist;

namespace {

void logSkipped(const std::string& what, const std::string& why) {
  LogService::shard().log(LogService::LogLevel::Info, "Module file: " + what + " skipped: " + why);
}

// Reads the required keys of one entry; the first one missing or of the
// wrong type is reported through `why`.
class EntryReader {
 public:
  explicit EntryReader(const PlistValue& entry) : entry_(entry) {}

  bool integer(const char* key, int* out) {
    const PlistValue* v = entry_.find(key);
    if (!v) return fail(key, "is missing");
    std::optional<int64_t> i = v->asInteger();
    if (!i) return fail(key, "is not an integer");
    if (*i < INT32_MIN || *i > INT32_MAX) return fail(key, "is out of range");
    *out = static_cast<int>(*i);
    return true;
  }
  bool string(const char* key, std::string* out) {
    const PlistValue* v = entry_.find(key);
    if (!v) return fail(key, "is missing");
    const std::string* s = v->asString();
    if (!s) return fail(key, "is not a string");
    *out = *s;
    return true;
  }
  const PlistValue::Array* array(const char* key) {
    const PlistValue* v = entry_.find(key);
    if (!v) {
      fail(key, "is missing");
      return nullptr;
    }
    const PlistValue::Array* a = v->asArray();
    if (!a) {
      fail(key, "is not an array");
      return nullptr;
    }
    return a;
  }
  const PlistValue::Array* optionalArray(const char* key) const {
    const PlistValue* v = entry_.find(key);
    return v ? v->asArray() : nullptr;
  }
  const std::string* optionalString(const char* key) const {
    const PlistValue* v = entry_.find(key);
    return v ? v->asString() : nullptr;
  }
  const std::string& why() const { return why_; }

 private:
  bool fail(const char* key, const char* problem) {
    why_ = std::string("key \"") + key + "\" " + problem;
    return false;
  }

  const PlistValue& entry_;
  std::string why_;
};

int categoryKindOf(const std::string& type) {
  if (type == "SystemCache") return raw(CategoryInfomationKind::SystemCache);
  if (type == "EmailAttachment") return raw(CategoryInfomationKind::EmailAttachment);
  return raw(CategoryInfomationKind::Common);
}

bool hasPrefixFolder(const std::string& path, const std::string& folder) {
  return !folder.empty() && path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

// A catalogue URL text: a file URL, else a plain path. System locations are
// placed under the paths table's root.
Url catalogueUrl(const std::string& text) {
  std::string rewritten = ModuleInformation::updateModuleURL(text);
  bool ok = false;
  Url url = Url::parse(rewritten, &ok);
  std::string path = ok ? url.path() : rewritten;
  // A plain path that is a valid URL text (no blanks, well-formed escapes)
  // is read as one, so "/Library/Internet%20Plug-Ins/" names that folder.
  std::string decoded;
  if (!ok && rewritten.find(' ') == std::string::npos && percentDecode(rewritten, &decoded)) {
    path = decoded;
  }
  bool folder = ok ? url.isDirectory() : (!rewritten.empty() && rewritten.back() == '/');
  std::string home = Paths::shared().userHome();
  if (!hasPrefixFolder(path, home)) path = Paths::shared().resolve(path);
  if (folder) return Url::fromPath(path, true);
  return Url::fromPath(path);
}

CategoryPtr readCategory(const PlistValue& entry, const FeaturePtr& feature,
                         const std::string& where) {
  if (!entry.isDictionary()) {
    logSkipped(where, "entry is not a dictionary");
    return nullptr;
  }
  EntryReader r(entry);
  int finder = 0, status = 0;
  std::string title, image, description, type;
  if (!r.integer("finder", &finder) || !r.integer("status", &status) ||
      !r.string("title", &title) || !r.string("image", &image) ||
      !r.string("description", &description) || !r.string("type", &type)) {
    logSkipped(where, r.why());
    return nullptr;
  }
  std::vector<Url> urls;
  if (const PlistValue::Array* list = r.optionalArray("urls")) {
    for (size_t i = 0; i < list->size(); ++i) {
      const PlistValue* u = (*list)[i].find("url");
      if (!u || !u->asString()) {
        logSkipped(where + " url " + std::to_string(i), "key \"url\" is missing or not a string");
        continue;
      }
      urls.push_back(catalogueUrl(*u->asString()));
    }
  }
  return std::make_shared<CategoryInformation>(
      status, finder, title, Image::named(image), 0, description, categoryKindOf(type),
      std::move(urls), std::vector<FilePtr>{}, feature, std::any{}, 0, false);
}

CategoryPtr makeLayoutCategory(int finder, const char* title, CategoryInfomationKind kind,
                               const FeaturePtr& feature) {
  return std::make_shared<CategoryInformation>(0, finder, title, Image{}, 0, "", raw(kind),
                                               std::vector<Url>{}, std::vector<FilePtr>{}, feature,
                                               std::any{}, 0, false);
}

void layOutCategories(const FeaturePtr& feature, const std::string* type,
                      std::vector<CategoryPtr> working) {
  std::stable_sort(working.begin(), working.end(), [](const CategoryPtr& a, const CategoryPtr& b) {
    return a->finderID() < b->finderID();
  });
  if (type && *type == kLargeAndOldFilesModuleType) {
    CategoryPtr all =
        makeLayoutCategory(0, "All", CategoryInfomationKind::LargeAndOldFileAllSet, feature);
    for (const CategoryPtr& c : working) {
      c->levelInt = 1;
      c->parentCategory = all;
    }
    all->childrenCateogry = std::move(working);
    feature->categoryInfo = {all};
  } else if (type && *type == "Uninstaller") {
    feature->categoryInfo.clear();
    int finder = 0;
    for (const char* title : {"All", "Unused", "Leftovers"}) {
      CategoryPtr c = makeLayoutCategory(finder++, title, CategoryInfomationKind::App, feature);
      c->childrenCateogry = std::vector<CategoryPtr>{};
      feature->categoryInfo.push_back(c);
    }
  } else {
    feature->categoryInfo = std::move(working);
  }
}

FeaturePtr readFeature(const PlistValue& entry, const ModulePtr& module, const std::string& where) {
  if (!entry.isDictionary()) {
    logSkipped(where, "entry is not a dictionary");
    return nullptr;
  }
  EntryReader r(entry);
  int finder = 0, status = 0;
  std::string image, title, description;
  if (!r.integer("finder", &finder) || !r.integer("status", &status) ||
      !r.string("image", &image) || !r.string("title", &title) ||
      !r.string("description", &description)) {
    logSkipped(where, r.why());
    return nullptr;
  }
  auto feature =
      std::make_shared<FeatureInformation>(finder, status, Image::named(image), title, description,
                                           std::vector<CategoryPtr>{}, module, std::any{});
  std::vector<CategoryPtr> working;
  if (const PlistValue::Array* list = r.optionalArray("category")) {
    for (size_t i = 0; i < list->size(); ++i) {
      std::string name = where + " category " + std::to_string(i);
      if (CategoryPtr c = readCategory((*list)[i], feature, name)) working.push_back(std::move(c));
    }
  }
  layOutCategories(feature, r.optionalString("type"), std::move(working));
  return feature;
}

ModulePtr readModule(const std::string& key, const PlistValue& entry) {
  std::string where = "module entry \"" + key + "\"";
  if (!entry.isDictionary()) {
    logSkipped(where, "entry is not a dictionary");
    return nullptr;
  }
  EntryReader r(entry);
  int finder = 0;
  std::string title, image, description, version, type;
  const PlistValue::Array* features = nullptr;
  if (!r.integer("finder", &finder) || !r.string("title", &title) || !r.string("image", &image) ||
      !r.string("description", &description) || !r.string("version", &version) ||
      !r.string("type", &type) || !(features = r.array("module"))) {
    logSkipped(where, r.why());
    return nullptr;
  }
  auto module = std::make_shared<ModuleInformation>(
      finder, title, type, Image::named(image), description, version, std::vector<FeaturePtr>{});
  for (size_t i = 0; i < features->size(); ++i) {
    std::string name = where + " feature " + std::to_string(i);
    if (FeaturePtr f = readFeature((*features)[i], module, name)) {
      module->featureInfo.push_back(std::move(f));
    }
  }
  return module;
}

std::vector<ModulePtr> modulesFrom(const std::optional<PlistValue>& root, const std::string& name,
                                   const std::string& error) {
  if (!root) {
    logSkipped(name, "it could not be read (" + error + ")");
    return {};
  }
  const PlistValue::Dictionary* dict = root->asDictionary();
  if (!dict) {
    logSkipped(name, "its root is not a dictionary");
    return {};
  }
  std::vector<ModulePtr> modules;
  for (const auto& [key, value] : dict->entries) {
    if (ModulePtr m = readModule(key, value)) modules.push_back(std::move(m));
  }
  std::stable_sort(modules.begin(), modules.end(), [](const ModulePtr& a, const ModulePtr& b) {
    return a->finderID < b->finderID;
  });
  return modules;
}

}  // namespace

ModuleInformation::ModuleInformation(int finderID_, std::string title_, std::string type_,
                                     Image image_, std::string description_, std::string version_,
                                     std::vector<FeaturePtr> featureInfo_)
    : finderID(finderID_),
      title(std::move(title_)),
      type(std::move(type_)),
      image(std::move(image_)),
      description(std::move(description_)),
      version(std::move(version_)),
      featureInfo(std::move(featureInfo_)) {}

std::vector<ModulePtr> ModuleInformation::get(const std::string& moduleFile) {
  std::string error;
  std::optional<PlistValue> root = readPlistFile(moduleFile, &error);
  return modulesFrom(root, "module file " + moduleFile, error);
}

std::vector<ModulePtr> ModuleInformation::getFromData(std::string_view bytes) {
  std::string error;
  std::optional<PlistValue> root = readPlist(bytes, &error);
  return modulesFrom(root, "module data", error);
}

std::string_view ModuleInformation::defaultModuleData() {
  return Paths::shared().layout() == Layout::Linux ? kLinuxFeaturePlist : kDefaultFeaturePlist;
}

std::vector<ModulePtr> ModuleInformation::getDefault() { return getFromData(defaultModuleData()); }

std::string ModuleInformation::updateModuleURL(const std::string& url) {
  static const std::string kTilde = "file://~/";
  const std::string replacement = "file://" + percentEncodePath(Paths::shared().userHome()) + "/";
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t hit = url.find(kTilde, pos);
    if (hit == std::string::npos) break;
    out.append(url, pos, hit - pos);
    out += replacement;
    pos = hit + kTilde.size();
  }
  out.append(url, pos, std::string::npos);
  return out;
}

FeaturePtr findFeatureByModuleType(const std::vector<ModulePtr>& modules, std::string_view type) {
  for (const ModulePtr& m : modules) {
    if (m->type == type && !m->featureInfo.empty()) return m->featureInfo.front();
  }
  return nullptr;
}

FeaturePtr findFeatureByFinderID(const std::vector<ModulePtr>& modules, int finderID) {
  for (const ModulePtr& m : modules) {
    for (const FeaturePtr& f : m->featureInfo) {
      if (f->finderID == finderID) return f;
    }
  }
  return nullptr;
}

}  // namespace orvexa
