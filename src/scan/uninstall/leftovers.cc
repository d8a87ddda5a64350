// The two further views (leftovers, unused applications) and the rebuild
// after a clean.

#include <algorithm>
#include <map>
#include <unordered_set>

#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/last_used.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "orvexa/scan/uninstall/linux_applications.h"
#include "orvexa/scan/uninstall/name_rules.h"
#include "orvexa/scan/uninstall/uninstall_scan_service.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/terminal_tool.h"

namespace orvexa {
namespace {

std::string lastComponent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name with every ".plist" removed.
std::string leftoverKey(const std::string& name) {
  static constexpr std::string_view kPlist = ".plist";
  std::string key = name;
  for (size_t at = key.find(kPlist); at != std::string::npos; at = key.find(kPlist, at)) {
    key.erase(at, kPlist.size());
  }
  return key;
}

std::string stringOf(const PlistValue& dictionary, const char* key) {
  const PlistValue* value = dictionary.find(key);
  const std::string* text = value != nullptr ? value->asString() : nullptr;
  return text != nullptr ? *text : std::string();
}

// The first megabyte of a regular file, NUL bytes dropped (so that UTF-16
// and UTF-32 text of ASCII characters reads as ASCII); empty for anything
// else. Never waits for a writer.
std::string plistText(const std::string& path) {
  RegularFile file = RegularFile::open(path);
  if (!file.ok()) return {};
  std::string bytes(static_cast<size_t>(std::min<uint64_t>(file.size(), 1 << 20)), '\0');
  const ssize_t got = file.read(bytes.data(), bytes.size());
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  std::erase(bytes, '\0');
  return bytes;
}

// The text of "<key>KEY</key> <string>TEXT</string>" in an XML property
// list that does not parse; empty when there is none or TEXT holds markup.
std::string salvaged(const std::string& text, std::string_view key) {
  const std::string tag = "<key>" + std::string(key) + "</key>";
  const size_t at = text.find(tag);
  if (at == std::string::npos) return {};
  size_t open = text.find_first_not_of(" \t\r\n", at + tag.size());
  if (open == std::string::npos || text.compare(open, 8, "<string>") != 0) return {};
  open += 8;
  const size_t close = text.find("</string>", open);
  if (close == std::string::npos) return {};
  std::string value = text.substr(open, close - open);
  return value.find_first_of("<>&") == std::string::npos ? value : std::string();
}

// `text` with the accents of Latin letters taken off, precomposed (U+00C0
// to U+00FF) or combining (U+0300 to U+036F) alike: a volume that keeps
// names decomposed gives back "Cafe" + U+0301 where the Info.plist says
// "Caf" + U+00E9. Only to decide what is kept: it makes more names match.
std::string withoutAccents(std::string_view text) {
  static constexpr std::string_view kLatin1 =
      "AAAAAAACEEEEIIIIDNOOOOOxOUUUUYTsaaaaaaaceeeeiiiidnooooo/ouuuuyty";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
    if (c == 0xC3 && next >= 0x80 && next <= 0xBF) {
      out += kLatin1[next - 0x80];
      ++i;
    } else if ((c == 0xCC && next >= 0x80 && next <= 0xBF) ||
               (c == 0xCD && next >= 0x80 && next <= 0xAF)) {
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Every application category below the feature's first category, copies
// included, each once.
void collectApplications(const std::vector<CategoryPtr>& categories,
                         std::vector<CategoryPtr>& out) {
  for (const CategoryPtr& c : categories) {
    if (!c) continue;
    out.push_back(c);
    if (c->childrenCateogry) collectApplications(*c->childrenCateogry, out);
  }
}

// What the installed applications go by: their names, compared whole and
// without regard to case, and the vendor parts of their identifiers.
class Installed {
 public:
  void addIdentifier(const std::string& identifier) {
    if (identifier.empty()) return;
    addName(identifier);
    if (std::string_view vendor = vendorOf(identifier); !vendor.empty()) {
      vendors_.push_back(withoutAccents(vendor));
    }
  }
  // A bundle whose Info.plist cannot be read still counts under its folder
  // name, and under the names its Info.plist holds: as a dictionary without
  // an identifier, or, when it does not parse at all, as far as its text
  // shows them.
  void addBundle(const std::string& path) {
    std::string why;
    std::optional<ApplicationBundle> bundle = readApplicationBundle(path, &why);
    if (!why.empty()) LogService::shard().log(LogService::LogLevel::Info, "Bundle skipped: " + why);
    if (bundle) {
      for (const std::string& name : knownNames(*bundle)) {
        if (name == bundle->bundleIdentifier) {
          addIdentifier(name);
        } else {
          addName(name);
        }
      }
      return;
    }
    std::string name = lastComponent(path);
    if (size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
    addName(name);
    const std::string plist = infoPlistPath(path);
    std::optional<PlistValue> info = readPlistFile(plist);
    const std::string text = info && info->isDictionary() ? std::string() : plistText(plist);
    for (const char* key :
         {"CFBundleIdentifier", "CFBundleName", "CFBundleDisplayName", "CFBundleExecutable"}) {
      std::string value = info && info->isDictionary() ? stringOf(*info, key) : salvaged(text, key);
      if (value.empty()) continue;
      if (key == std::string_view("CFBundleIdentifier")) {
        addIdentifier(value);
      } else {
        addName(value);
      }
    }
  }
  // Whether `key` belongs to an installed application or its vendor: names
  // that match one of theirs whole either way ("Adobe" with "Adobe
  // Photoshop" installed), a vendor's identifiers ("com.google.Keystone")
  // and its folder ("Google").
  bool claims(const std::string& entryKey) const {
    const std::string key = withoutAccents(entryKey);
    auto whole = [&](const std::string& name) {
      return nameMatchesWhole(key, name, true) || nameMatchesWhole(name, key, true);
    };
    if (std::any_of(names_.begin(), names_.end(), whole)) return true;
    if (std::any_of(vendors_.begin(), vendors_.end(), whole)) return true;
    const std::string_view vendor = vendorOf(key);
    return !vendor.empty() && std::any_of(vendors_.begin(), vendors_.end(), [&](const auto& v) {
      return vendor.size() == v.size() && nameMatchesWhole(vendor, v, true);
    });
  }

 private:
  // Names are kept, and keys compared, without accents (withoutAccents).
  void addName(std::string_view name) { names_.push_back(withoutAccents(name)); }

  std::vector<std::string> names_;
  std::vector<std::string> vendors_;
};

// The bundles ("*.app" folders, or links to them) in `folder` and its
// sub-folders, hidden ones too (some programs hide a helper application
// there), not inside other bundles.
void listBundles(const std::string& folder, std::vector<std::string>& out) {
  DirectoryEnumerator walk(folder, EnumerationOptions::skipsPackageDescendants,
                           [](const std::string&, const std::string&) { return true; });
  while (std::optional<ResourceValues> item = walk.next()) {
    if (isInstalledBundleEntry(item->path, item->name, item->isDirectory, item->isSymbolicLink)) {
      out.push_back(item->path);
    }
  }
}

// Why a group is thought to be a leftover.
std::string leftoverReason(const std::string& key) {
  if (isBundleIdentifierName(key)) {
    return "named after " + key + ", which no installed application has";
  }
  return "named \"" + key + "\", which no installed application is called";
}

const ResourceKeys& leftoverKeys() {
  static const ResourceKeys keys = {ResourceKey::creationDate,  ResourceKey::effectiveIcon,
                                    ResourceKey::isDirectory,   ResourceKey::isPackage,
                                    ResourceKey::isRegularFile, ResourceKey::localizedName};
  return keys;
}

// Whether the metadata index (or its substitute) has a last use of the
// application at `path`.
bool hasLastUse(const std::string& mdls, bool haveTool, const std::string& path) {
  if (haveTool) {
    return TerminalUtils::runTerminal(mdls, {path}).find("kMDItemLastUsedDate") !=
           std::string::npos;
  }
  return lastUsedDate(path).has_value();
}

struct Rebuild {
  int64_t deleted = 0;
  std::vector<FilePtr> failed;
  std::string errors;
  std::unordered_set<const CategoryInformation*> seen;
};

// Takes the deleted records out of `c` and of every category below it
// (each category once, wherever it is listed).
void removeDeleted(const CategoryPtr& c, Rebuild& state) {
  if (!c || !state.seen.insert(c.get()).second) return;
  for (const FilePtr& f : c->childrens) {
    if (f->state == 1 && f->deleteStatus != raw(DeleteStatus::DeleteSuccess)) {
      state.failed.push_back(f);
      state.errors += f->deleteErrorDesc.str() + ",";
    }
  }
  for (size_t i = c->childrens.size(); i-- > 0;) {
    const FilePtr& f = c->childrens[i];
    if (f->state != 1 || f->deleteStatus != raw(DeleteStatus::DeleteSuccess)) continue;
    state.deleted += f->size;
    c->childrens.erase(c->childrens.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (c->childrenCateogry) {
    for (const CategoryPtr& sub : *c->childrenCateogry) removeDeleted(sub, state);
  }
}

// Drops the sub-categories left with nothing, sets each category's size to
// that of its own records, and returns the size of everything at and below
// `c` (a category listed twice below one top-level category counts once).
int64_t pruneAndSize(const CategoryPtr& c, std::unordered_set<const CategoryInformation*>& seen) {
  if (!seen.insert(c.get()).second) return 0;
  int64_t own = 0;
  for (const FilePtr& f : c->childrens) own += f->size;
  c->size = own;
  int64_t below = own;
  if (c->childrenCateogry) {
    std::vector<CategoryPtr> kept;
    for (const CategoryPtr& sub : *c->childrenCateogry) {
      if (!sub) continue;
      below += pruneAndSize(sub, seen);
      const bool empty =
          sub->childrens.empty() && (!sub->childrenCateogry || sub->childrenCateogry->empty());
      if (!empty) kept.push_back(sub);
    }
    c->childrenCateogry = std::move(kept);
  }
  return below;
}

}  // namespace

std::vector<CategoryPtr> UninstallScanService::getLeftoverAppPath(const FeaturePtr& featureInfo) {
  std::vector<CategoryPtr> groups;
  if (!featureInfo) return groups;
  if (Paths::shared().layout() == Layout::Linux) return linuxLeftovers(featureInfo);

  Installed installed;
  // The host runs, so it is installed wherever its bundle is: its own files
  // (its log folder among them) are never leftovers.
  installed.addIdentifier(Identity::shared().bundleIdentifier());
  std::vector<CategoryPtr> applications;
  if (!featureInfo->categoryInfo.empty() && featureInfo->categoryInfo.front()->childrenCateogry) {
    collectApplications(*featureInfo->categoryInfo.front()->childrenCateogry, applications);
  }
  std::vector<std::string> bundles;
  for (const CategoryPtr& app : applications) {
    if (!app->urls.empty()) bundles.push_back(app->urls.front().path());
  }
  // Every bundle of the applications folders, listed or not (system
  // applications, those whose Info.plist cannot be read).
  const Paths& paths = Paths::shared();
  for (const std::string& folder : {paths.applicationsFolder(), paths.systemApplicationsFolder(),
                                    paths.userHome() + "/Applications"}) {
    listBundles(folder, bundles);
  }
  for (const std::string& bundle : bundles) installed.addBundle(bundle);

  std::map<std::string, std::vector<std::string>> byKey;
  const std::string sharedFolder = paths.resolve("/Users/Shared") + "/";
  for (const std::string& path : getAllCommonPath()) {
    const std::string name = lastComponent(path);
    if (name.empty()) continue;
    std::string key = leftoverKey(name);
    if (isKeptEntryName(key)) continue;
    // The users' own things, unless named after an application.
    if (path.size() == sharedFolder.size() + name.size() && path.rfind(sharedFolder, 0) == 0 &&
        !isBundleIdentifierName(key)) {
      continue;
    }
    if (installed.claims(key)) continue;
    byKey[std::move(key)].push_back(path);
  }

  for (const auto& [key, members] : byKey) {
    std::vector<Url> urls;
    for (const std::string& path : members) urls.push_back(Url::fromPath(path));
    auto group = std::make_shared<CategoryInformation>(
        0, static_cast<int>(groups.size()), key, defaultImage(), 0, leftoverReason(key),
        raw(CategoryInfomationKind::App), urls, std::vector<FilePtr>{}, featureInfo, std::any{}, 1,
        false);
    for (const std::string& folder : regularFolderList()) {
      group->scanRoots.push_back(Url::fromPath(folder, true));  // the folders searched
    }
    for (const Url& url : urls) {
      FilePtr record = getFileInformationFromUrl(url, leftoverKeys(), group);
      if (!record) continue;
      group->childrens.push_back(record);
      group->size += record->size;
    }
    if (!group->childrens.empty()) groups.push_back(group);
  }
  for (size_t i = 0; i < groups.size(); ++i) groups[i]->setFinderID(static_cast<int>(i));
  return groups;
}

void UninstallScanService::getUnusedAppPath(const std::vector<CategoryPtr>& categoryInfos,
                                            UnusedFinish finish) {
  struct Unused {
    std::vector<CategoryPtr> list;
    size_t examined = 0;
  };
  // Each piece keeps the queue alive; it goes with the last one.
  auto queue = std::make_shared<SerialGCDService>(SerialGCDService::GCDQOS::utility);
  auto state = std::make_shared<Unused>();
  const size_t total = categoryInfos.size();
  const std::string mdls = Paths::shared().tool("mdls");
  const bool haveTool = fileExists(mdls);
  // Under the Linux layout the desktop's record of use decides; without
  // one, nothing is known to be unused.
  auto records = std::make_shared<std::vector<std::string>>();
  const bool underLinux = Paths::shared().layout() == Layout::Linux;
  if (underLinux) {
    for (const std::string& path : usageRecordFiles()) {
      if (auto text = readRegularFile(path, uint64_t{16} << 20)) records->push_back(*text);
    }
  }
  auto deliver = [state, finish] {
    if (finish) finish(std::move(state->list));
  };
  auto ignore = [](JThreadSatefy::THREADRUNERROR) {};
  if (total == 0) {
    queue->runDeferred([queue, deliver] { deliver(); }, ignore);
    return;
  }
  for (const CategoryPtr& category : categoryInfos) {
    queue->runDeferred(
        [queue, state, category, deliver, mdls, haveTool, total, underLinux, records] {
          const std::string path =
              category && !category->urls.empty() ? category->urls.front().path() : std::string();
          if (underLinux) {
            const auto* app =
                category ? std::any_cast<DesktopApplication>(&category->attachInfomation) : nullptr;
            if (app && !records->empty() && !wasUsed(*app, *records))
              state->list.push_back(category);
          } else if (category && !hasLastUse(mdls, haveTool, path)) {
            state->list.push_back(category);
          }
          if (++state->examined == total) deliver();
        },
        ignore);
  }
}

UninstallScanService::SortResult UninstallScanService::sortCategory(const FeaturePtr& featureInfo) {
  Rebuild state;
  std::vector<CategoryPtr> categories;
  if (!featureInfo) return {0, {}, "", categories};
  for (const CategoryPtr& c : featureInfo->categoryInfo) removeDeleted(c, state);
  for (const CategoryPtr& c : featureInfo->categoryInfo) {
    if (!c) continue;
    std::unordered_set<const CategoryInformation*> seen;
    // A top-level category holds the sum of everything below it.
    c->size = pruneAndSize(c, seen);
    categories.push_back(c);
  }
  return {state.deleted, std::move(state.failed), std::move(state.errors), std::move(categories)};
}

}  // namespace orvexa
