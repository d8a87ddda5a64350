#include "orvexa/platform/bundle.h"

#include <cerrno>

#include "orvexa/platform/content_type.h"
#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"

namespace orvexa {
namespace {

std::string withoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

std::string lastComponent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The dictionary's non-empty string for `key`, or nothing.
const std::string* nonEmptyString(const PlistValue& info, std::string_view key) {
  const PlistValue* value = info.find(key);
  if (value == nullptr) return nullptr;
  const std::string* text = value->asString();
  return text != nullptr && !text->empty() ? text : nullptr;
}

bool isApplicationName(std::string_view name) {
  std::string_view extension = pathExtension(name);
  return extension.size() == 3 && (extension[0] | 0x20) == 'a' && (extension[1] | 0x20) == 'p' &&
         (extension[2] | 0x20) == 'p';
}

std::optional<ApplicationBundle> findIn(const std::string& folder, std::string_view identifier) {
  DirectoryEnumerator walk(
      folder, EnumerationOptions::skipsHiddenFiles | EnumerationOptions::skipsPackageDescendants,
      [](const std::string&, const std::string&) { return true; });
  while (std::optional<ResourceValues> item = walk.next()) {
    if (!item->isDirectory || !isApplicationName(item->name)) continue;
    std::optional<ApplicationBundle> bundle = readApplicationBundle(item->path);
    if (bundle && bundle->bundleIdentifier == identifier) return bundle;
  }
  return std::nullopt;
}

}  // namespace

std::string ApplicationBundle::executablePath() const {
  if (executableName.empty()) return {};
  return path + "/Contents/MacOS/" + executableName;
}

std::string infoPlistPath(std::string_view bundlePath) {
  return withoutTrailingSlashes(bundlePath) + "/Contents/Info.plist";
}

std::optional<ApplicationBundle> readApplicationBundle(std::string_view bundlePath,
                                                       std::string* error) {
  if (bundlePath.empty()) return std::nullopt;
  const std::string infoPath = infoPlistPath(bundlePath);
  std::string why;
  std::optional<PlistValue> info = readPlistFile(infoPath, &why);
  if (!info && error != nullptr && checkRegularFile(infoPath).code() != ENOENT) *error = why;
  if (!info || !info->isDictionary()) return std::nullopt;
  const std::string* identifier = nonEmptyString(*info, "CFBundleIdentifier");
  if (identifier == nullptr) return std::nullopt;

  ApplicationBundle bundle;
  bundle.path = withoutTrailingSlashes(bundlePath);
  bundle.bundleIdentifier = *identifier;
  const std::string fileName = lastComponent(bundle.path);
  const std::string_view extension = pathExtension(fileName);
  bundle.name =
      extension.empty() ? fileName : fileName.substr(0, fileName.size() - extension.size() - 1);
  if (const std::string* display = nonEmptyString(*info, "CFBundleDisplayName")) {
    bundle.displayName = *display;
  }
  if (const std::string* plain = nonEmptyString(*info, "CFBundleName")) bundle.bundleName = *plain;
  bundle.localizedName = !bundle.displayName.empty()  ? bundle.displayName
                         : !bundle.bundleName.empty() ? bundle.bundleName
                                                      : bundle.name;
  if (const std::string* executable = nonEmptyString(*info, "CFBundleExecutable")) {
    // A name with a slash would point outside Contents/MacOS.
    if (executable->find('/') == std::string::npos) bundle.executableName = *executable;
  }
  return bundle;
}

std::optional<ApplicationBundle> applicationForBundleIdentifier(std::string_view bundleIdentifier) {
  if (bundleIdentifier.empty()) return std::nullopt;
  const Paths& paths = Paths::shared();
  for (const std::string& folder : {paths.applicationsFolder(), paths.systemApplicationsFolder(),
                                    paths.userHome() + "/Applications"}) {
    if (auto bundle = findIn(folder, bundleIdentifier)) return bundle;
  }
  return std::nullopt;
}

}  // namespace orvexa
