// The extension listings, the scan and where a switch moves an item.
#include "orvexa/toolkits/maintenance_service.h"

#include <sys/stat.h>

#include <array>

#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/paths.h"
#include "orvexa/scan/engine/super_scan_service.h"
#include "orvexa/units/log_service.h"
#include "toolkits/maintenance_internal.h"

namespace orvexa {
namespace {

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Something (a link included) is at `path`.
bool somethingAt(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The entries of `folder` and then of its twin whose names end in `suffix`.
std::vector<Url> extensionsIn(const MaintenanceService& service, const std::string& folder,
                              std::string_view suffix) {
  std::vector<Url> found;
  for (const std::string& place : {folder, Paths::disabledTwin(folder)}) {
    for (Url& url : service.getFileUseEnumerator(place)) {
      if (endsWith(url.lastPathComponent(), suffix)) found.push_back(std::move(url));
    }
  }
  return found;
}

struct ExtensionRow {
  const char* title;
  MaintenanceSting key;
  std::vector<Url> (MaintenanceService::*list)() const;
  std::string (Paths::*folder)() const;
};

const std::array<ExtensionRow, 3> kRows = {{
    {"Spotlight Plugins", MaintenanceSting::SpotlightPlugins,
     &MaintenanceService::scanSpotlightExtension, &Paths::spotlightImportersFolder},
    {"Safari Extensions", MaintenanceSting::SafariExtensions,
     &MaintenanceService::scanPreferenceExtension, &Paths::preferencePanesFolder},
    {"Internet Plugins", MaintenanceSting::InternetExtensions,
     &MaintenanceService::scanInternetPlugExtension, &Paths::internetPlugInsFolder},
}};

}  // namespace

bool maintenanceItemIsDisabled(const Url& path) {
  return path.deletingLastPathComponent().lastPathComponent().find(" Disabled") !=
         std::string::npos;
}

MaintenanceService& MaintenanceService::shard() {
  static MaintenanceService* instance = new MaintenanceService;  // read by late replies
  return *instance;
}

std::vector<Url> MaintenanceService::getFileUseEnumerator(const std::string& path) const {
  std::vector<Url> urls;
  DirectoryEnumerator walk(path,
                           EnumerationOptions::skipsSubdirectoryDescendants |
                               EnumerationOptions::skipsPackageDescendants |
                               EnumerationOptions::skipsHiddenFiles,
                           [](const std::string&, const std::string&) { return true; });
  while (std::optional<ResourceValues> values = walk.next()) {
    urls.push_back(Url::fromPath(values->path, values->isDirectory));
  }
  return urls;
}

std::vector<Url> MaintenanceService::scanSpotlightExtension() const {
  return extensionsIn(*this, Paths::shared().spotlightImportersFolder(), "mdimporter");
}

std::vector<Url> MaintenanceService::scanPreferenceExtension() const {
  return extensionsIn(*this, Paths::shared().preferencePanesFolder(), "prefPane");
}

std::vector<Url> MaintenanceService::scanInternetPlugExtension() const {
  return extensionsIn(*this, Paths::shared().internetPlugInsFolder(), "plugin");
}

void MaintenanceService::scan(const FeaturePtr& featureInfo,
                              const std::map<MaintenanceSting, std::string>& cateDesc,
                              const Progress& progress, const ShowPercent& showPercent,
                              const SingleDone& singleDone, const Done& done,
                              const std::shared_ptr<SerialGCDService>& /*dispatch*/) {
  if (!featureInfo) return;
  LogService::shard().log(LogService::LogLevel::Info, "MaintenanceService Start");
  featureInfo->categoryInfo.clear();
  const ResourceKeys keys = {ResourceKey::localizedName, ResourceKey::fileSize,
                             ResourceKey::effectiveIcon, ResourceKey::isDirectory,
                             ResourceKey::isPackage};
  MaintenanceService& service = shard();
  int64_t total = 0;
  for (size_t row = 0; row < kRows.size(); ++row) {
    const ExtensionRow& r = kRows[row];
    auto description = cateDesc.find(r.key);
    const std::string folder = (Paths::shared().*r.folder)();
    auto category = std::make_shared<CategoryInformation>(
        1, static_cast<int>(featureInfo->categoryInfo.size()), r.title, Image{}, 0,
        description != cateDesc.end() ? description->second : std::string(),
        raw(CategoryInfomationKind::Common),
        std::vector<Url>{Url::fromPath(folder, true),
                         Url::fromPath(Paths::disabledTwin(folder), true)},
        std::vector<FilePtr>{}, featureInfo, std::any{}, 0, false);
    for (const Url& url : (service.*r.list)()) {
      FilePtr item = SuperScanService::getFileInformationFromUrl(url, keys, category);
      if (!item) continue;  // gone since it was listed
      item->attachInformation =
          std::string(maintenanceItemIsDisabled(item->url) ? kCloseText : kStartText);
      category->childrens.push_back(item);
      category->size += item->size;
      if (progress) progress(item->url.path(), item->size);
    }
    total += category->size;
    featureInfo->categoryInfo.push_back(category);
    if (singleDone) singleDone(static_cast<int>(row), category->size);
    if (showPercent) {
      showPercent(row + 1 == kRows.size()
                      ? 1.0f
                      : static_cast<float>(row + 1) / static_cast<float>(kRows.size()));
    }
  }
  LogService::shard().log(LogService::LogLevel::Info, "MaintenanceService Finish");
  if (done) done(featureInfo, total);
}

std::string MaintenanceService::numberedName(std::string_view name, int counter) {
  const std::string number = " " + std::to_string(counter);
  const size_t dot = name.rfind('.');
  // A leading dot starts a hidden name, not an extension.
  if (dot == std::string_view::npos || dot == 0) return std::string(name) + number;
  return std::string(name.substr(0, dot)) + number + std::string(name.substr(dot));
}

Url MaintenanceService::switchDestination(const Url& item) {
  const Url folder = item.deletingLastPathComponent();
  const std::string base = folder.deletingLastPathComponent().path();
  const std::string folderName = folder.lastPathComponent();
  const std::string name = item.lastPathComponent();

  static constexpr std::string_view kTwin = " Disabled";
  std::string destinationFolder = folderName;
  if (size_t at = folderName.find(kTwin); at == std::string::npos) {
    destinationFolder = Paths::disabledTwin(folderName);
  } else {
    destinationFolder.erase(at, kTwin.size());
  }
  const std::string into = (base == "/" ? std::string() : base) + "/" + destinationFolder + "/";
  std::string destination = into + name;
  for (int counter = 1; somethingAt(destination); ++counter) {
    destination = into + numberedName(name, counter);
  }
  return Url::fromPath(destination, item.isDirectory());
}

void MaintenanceService::moveExtensionCategory(const FilePtr& file, Finish finish) {
  if (!file) {
    if (finish) finish(true, {});
    return;
  }
  moveExtension({{switchDestination(file->url), file}}, std::move(finish));
}

}  // namespace orvexa
