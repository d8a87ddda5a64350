// The privacy scan's entry points, its orchestration and the profile choice.
#include "orvexa/scan/privacy/privacy_scan_service.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "orvexa/platform/directory_enumerator.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/image.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/queue_or_here.h"
#include "scan/privacy/privacy_support.h"

namespace orvexa {
namespace {

constexpr int kScanCount = 5;

struct DescTable {
  std::mutex mu;
  std::map<PrivacyScanService::PrivacyStatusInfo, std::string> table;
};

DescTable& descTable() {
  static DescTable* table = new DescTable;  // read by scans that may outlive statics
  return *table;
}

void logInfo(std::string text) {
  LogService::shard().log(LogService::LogLevel::Info, std::move(text));
}

// The names directly inside `folder`, in listing order, without hidden
// entries and without looking into packages.
std::vector<ResourceValues> entriesOf(const std::string& folder) {
  std::vector<ResourceValues> entries;
  DirectoryEnumerator walk(folder,
                           EnumerationOptions::skipsSubdirectoryDescendants |
                               EnumerationOptions::skipsPackageDescendants |
                               EnumerationOptions::skipsHiddenFiles,
                           [](const std::string&, const std::string&) { return true; });
  while (std::optional<ResourceValues> item = walk.next()) entries.push_back(std::move(*item));
  return entries;
}

std::string pathExtension(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

// The system's version from the paths table's SystemVersion.plist, as
// (major, minor); nothing when it cannot be read (not a macOS system).
std::optional<std::pair<int, int>> systemVersion() {
  std::optional<PlistValue> info =
      readPlistFile(Paths::shared().resolve("/System/Library/CoreServices/SystemVersion.plist"));
  const PlistValue* version = info ? info->find("ProductVersion") : nullptr;
  const std::string* text = version != nullptr ? version->asString() : nullptr;
  if (text == nullptr) return std::nullopt;
  size_t dot = text->find('.');
  std::optional<int64_t> major = integerFromText(text->substr(0, dot));
  if (!major) return std::nullopt;
  int minor = 0;
  if (dot != std::string::npos) {
    size_t end = text->find('.', dot + 1);
    std::optional<int64_t> m = integerFromText(
        text->substr(dot + 1, end == std::string::npos ? std::string::npos : end - dot - 1));
    if (m) minor = static_cast<int>(*m);
  }
  return std::make_pair(static_cast<int>(*major), minor);
}

CategoryPtr makeCategory(const FeaturePtr& feature, PrivacyScanService::PrivacyStatusInfo status,
                         const std::string& iconName) {
  std::map<PrivacyScanService::PrivacyStatusInfo, std::string> desc =
      PrivacyScanService::PrivacyDescDict();
  auto it = desc.find(status);
  return std::make_shared<CategoryInformation>(
      0, 0, PrivacyScanService::titleOf(status), Image::named(iconName), 0,
      it == desc.end() ? std::string() : it->second, raw(CategoryInfomationKind::Privacy),
      std::vector<Url>{}, std::vector<FilePtr>{}, feature, std::any{}, 0, false);
}

}  // namespace

std::map<PrivacyScanService::PrivacyStatusInfo, std::string> PrivacyScanService::PrivacyDescDict() {
  std::lock_guard lock(descTable().mu);
  return descTable().table;
}

void PrivacyScanService::setPrivacyDescDict(std::map<PrivacyStatusInfo, std::string> table) {
  std::lock_guard lock(descTable().mu);
  descTable().table = std::move(table);
}

std::string PrivacyScanService::titleOf(PrivacyStatusInfo status) {
  switch (status) {
    case PrivacyStatusInfo::Safari:
      return "Safari";
    case PrivacyStatusInfo::Chrome:
      return "Chrome";
    case PrivacyStatusInfo::Firefox:
      return "Firefox";
    case PrivacyStatusInfo::RecentItem:
      return "Recent Item";
    case PrivacyStatusInfo::ApplicationsPermissions:
      return "Application Permissions";
  }
  return "";
}

std::string PrivacyScanService::titleOf(BrowserOperationStatus status) {
  switch (status) {
    case BrowserOperationStatus::Visit:
      return "Visit History";
    case BrowserOperationStatus::Download:
      return "Download History";
    case BrowserOperationStatus::DownloadFile:
      return "Download File History";
    case BrowserOperationStatus::LastTab:
      return "Last Tabs";
    case BrowserOperationStatus::AutoValue:
      return "Auto Fills Value";
    case BrowserOperationStatus::LocalStorage:
      return "LocalStorage";
    case BrowserOperationStatus::Cookies:
      return "Cookies";
    case BrowserOperationStatus::Search:
      return "Search History";
    case BrowserOperationStatus::LoginHistory:
      return "Login History";
  }
  return "";
}

std::string PrivacyScanService::getChromeProfile() {
  std::vector<std::string> profiles;
  for (const ResourceValues& entry : entriesOf(privacy::chromeFolder())) {
    if (entry.name.find("Default") != std::string::npos) return "Default";
    if (entry.name.rfind("Profile", 0) == 0) profiles.push_back(entry.name);
  }
  if (profiles.empty()) return "Defalut";
  return *std::max_element(profiles.begin(), profiles.end());
}

std::optional<std::string> PrivacyScanService::getFirefoxProfile() {
  // Keyed by extension; of two folders with one extension the later wins.
  std::map<std::string, std::string> byExtension;
  for (const ResourceValues& entry : entriesOf(privacy::firefoxProfilesFolder())) {
    if (!entry.isDirectory || entry.name.find(".default") == std::string::npos) continue;
    byExtension[pathExtension(entry.name)] = entry.path;
  }
  if (byExtension.empty()) return std::nullopt;
  return byExtension.rbegin()->second;
}

void PrivacyScanService::scan(const FeaturePtr& featureInfo, Progress progress,
                              ShowPercent showPercent, SingleDone singleDone, Done done,
                              const std::shared_ptr<SerialGCDService>& dispatch) {
  if (!ScanStatusTable::tryStart(featureInfo->finderID)) return;
  scanPro(featureInfo, std::move(progress), std::move(showPercent), std::move(singleDone),
          std::move(done), dispatch);
}

void PrivacyScanService::scanPro(const FeaturePtr& featureInfo, Progress /*progress*/,
                                 ShowPercent showPercent, SingleDone /*singleDone*/, Done done,
                                 const std::shared_ptr<SerialGCDService>& dispatch) {
  logInfo("PrivacyScanService Start");
  featureInfo->categoryInfo.clear();

  // The Linux layout has no Safari and no permission database; its browsers
  // keep several profiles, all of which are read.
  const bool onLinux = Paths::shared().layout() == Layout::Linux;
  CategoryPtr safari;
  if (!onLinux) safari = makeCategory(featureInfo, PrivacyStatusInfo::Safari, "Safari");
  const std::string profile = onLinux ? std::string() : getChromeProfile();
  const std::vector<std::string> chromeProfiles =
      onLinux ? privacy::linuxChromeProfiles() : std::vector<std::string>{};
  const std::vector<std::string> firefoxProfiles =
      onLinux ? privacy::linuxFirefoxProfiles() : std::vector<std::string>{};
  if (!onLinux) logInfo("Privacy Info:" + profile);
  CategoryPtr chrome;
  if (onLinux ? !chromeProfiles.empty()
              : fileExists(privacy::findPath(privacy::chromeFolder(), profile))) {
    chrome = makeCategory(featureInfo, PrivacyStatusInfo::Chrome, "Chrome");
  }
  CategoryPtr firefox;
  if (onLinux ? !firefoxProfiles.empty() : fileExists(privacy::firefoxProfilesFolder())) {
    firefox = makeCategory(featureInfo, PrivacyStatusInfo::Firefox, "Firefox");
  }
  CategoryPtr recent = makeCategory(featureInfo, PrivacyStatusInfo::RecentItem, "");
  CategoryPtr permissions;
  if (!onLinux) {
    permissions = makeCategory(featureInfo, PrivacyStatusInfo::ApplicationsPermissions, "");
  }

  auto percent = std::make_shared<PercentService>(showPercent, kScanCount);
  SuperScanService::setPercent(percent);
  percent->startTime();

  // Touched only by completion steps, which run on `dispatch`.
  auto finished = std::make_shared<int>(0);
  const std::vector<CategoryPtr> inOrder = {safari, chrome, firefox, recent, permissions};
  Finish complete = [=] {
    runOnQueueOrHere(dispatch, [=] {
      ++*finished;
      percent->progressStep();
      logInfo("PrivacyScanService Scan Done:" + std::to_string(*finished));
      if (*finished != kScanCount) return;
      for (const CategoryPtr& category : inOrder) {
        if (!category) continue;
        category->setFinderID(static_cast<int>(featureInfo->categoryInfo.size()));
        featureInfo->categoryInfo.push_back(category);
      }
      SuperScanService::setScanStatus(featureInfo->finderID, ScanState::end);
      if (done) done(featureInfo, 0);
    });
  };

  runOnPoolOrHere([safari, complete] {
    if (safari) {
      scanSafari(safari, complete);
    } else {
      complete();
    }
  });
  runOnPoolOrHere([recent, complete] { scanRecentItem(recent, complete); });
  runOnPoolOrHere([permissions, complete] {
    std::optional<std::pair<int, int>> version = systemVersion();
    if (!permissions || (version && version->first == 10 && version->second == 14)) {
      complete();
    } else {
      scanApplicationPermission(permissions, complete);
    }
  });
  runOnPoolOrHere([chrome, profile, chromeProfiles, onLinux, complete] {
    if (!chrome) {
      complete();
    } else if (onLinux) {
      scanChromeProfiles(chrome, chromeProfiles, complete);
    } else {
      scanChrome(chrome, profile, complete);
    }
  });
  runOnPoolOrHere([firefox, firefoxProfiles, onLinux, complete] {
    if (!firefox) {
      complete();
    } else if (onLinux) {
      scanFirefoxProfiles(firefox, firefoxProfiles, complete);
    } else {
      scanFirefox(firefox, complete);
    }
  });
}

}  // namespace orvexa
