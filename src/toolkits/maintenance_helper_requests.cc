// Moving and removing extensions through the privileged helper.
#include <optional>
#include <set>

#include "orvexa/helper/helper_protocol.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/toolkits/maintenance_service.h"
#include "toolkits/maintenance_internal.h"

namespace orvexa {
namespace {

std::shared_ptr<HelperProtocol> obtainHelper() {
  return PrivilegeHelper::shard()
      .getHelperTool(PrivilegeHelper::helperName(), kSMDomainSystemLaunchd)
      .first;
}

MaintenanceFailure installFailure(const Url& url) {
  return {url, raw(HelperEventErrorID::DeleteError),
          std::string(MaintenanceService::kPrivilegeInstallFailText)};
}

std::string textAt(const PlistValue& dictionary, std::string_view key) {
  const PlistValue* value = dictionary.find(key);
  const std::string* text = value != nullptr ? value->asString() : nullptr;
  return text != nullptr ? *text : std::string();
}

std::optional<int64_t> codeAt(const PlistValue& dictionary, std::string_view key) {
  const PlistValue* value = dictionary.find(key);
  return value != nullptr ? value->asInteger() : std::nullopt;
}

// The outcome of the request for `path` (reported as `url`): nothing when it
// was done. A request refused or lost as a whole fails every path with the
// request's code and text; a path the answer does not mention failed too.
std::optional<MaintenanceFailure> failureOf(const std::string& path, const Url& url, int replyCode,
                                            const PlistValue& information) {
  const int success = raw(HelperEventErrorID::Success);
  const std::optional<int64_t> whole = codeAt(information, kHelperDeleteStatusKey);
  if (whole.value_or(replyCode == success ? success : -1) != success) {
    int code = whole ? static_cast<int>(*whole) : replyCode;
    if (code == success) code = raw(HelperEventErrorID::NoCause);
    return MaintenanceFailure{url, code, textAt(information, kHelperDeleteDescKey)};
  }
  const PlistValue* entry = information.find(path);
  if (entry == nullptr || !entry->isDictionary()) {
    return MaintenanceFailure{url, raw(HelperEventErrorID::NoCause),
                              "The helper gave no answer for " + path};
  }
  const std::optional<int64_t> code = codeAt(*entry, kHelperDeleteStatusKey);
  if (code && *code == success) return std::nullopt;
  return MaintenanceFailure{url, code ? static_cast<int>(*code) : raw(HelperEventErrorID::NoCause),
                            textAt(*entry, kHelperDeleteDescKey)};
}

PlistValue maintenanceRequest(HelperMaintenanceOperation operation) {
  PlistValue request = PlistValue::dictionary();
  request.set(std::string(kHelperOperationValueKey), raw(operation));
  return request;
}

}  // namespace

void MaintenanceService::moveExtension(std::vector<std::pair<Url, FilePtr>> pathDict,
                                       Finish finish) {
  std::erase_if(pathDict, [](const auto& pair) { return !pair.second; });
  if (pathDict.empty()) {
    if (finish) finish(true, {});
    return;
  }
  std::shared_ptr<HelperProtocol> helper = obtainHelper();
  if (!helper) {
    std::vector<MaintenanceFailure> failures;
    for (const auto& [destination, item] : pathDict)
      failures.push_back(installFailure(destination));
    if (finish) finish(false, std::move(failures));
    return;
  }
  PlistValue request = maintenanceRequest(HelperMaintenanceOperation::Move);
  std::vector<std::string> sources;
  for (const auto& [destination, item] : pathDict) {
    sources.push_back(item->url.path());
    PlistValue to = PlistValue::dictionary();
    to.set(std::string(kHelperToPathKey), destination.path());
    request.set(sources.back(), std::move(to));
  }
  helper->handleEvent(
      raw(HelperHanldeEventID::Maintenance), std::move(request),
      [pairs = std::move(pathDict), sources = std::move(sources), finish = std::move(finish)](
          bool, int code, PlistValue information) {
        std::vector<MaintenanceFailure> failures;
        for (size_t i = 0; i < pairs.size(); ++i) {
          const auto& [destination, item] = pairs[i];
          if (auto failure = failureOf(sources[i], destination, code, information)) {
            failures.push_back(std::move(*failure));
            continue;
          }
          // The title follows the name when it was the name (a numbered
          // destination renames the item).
          if (item->title == item->url.lastPathComponent()) {
            item->title = destination.lastPathComponent();
          }
          item->url = Url::fromPath(destination.path(), item->url.isDirectory());
          item->attachInformation =
              std::string(maintenanceItemIsDisabled(destination) ? kCloseText : kStartText);
        }
        const bool allDone = failures.empty();  // before the list is moved away
        if (finish) finish(allDone, std::move(failures));
      });
}

void MaintenanceService::cleanExtensions(const std::vector<Url>& paths, Finish finish) {
  std::vector<Url> urls;
  std::set<std::string> seen;
  for (const Url& url : paths) {
    if (!url.empty() && seen.insert(url.path()).second) urls.push_back(url);
  }
  if (urls.empty()) {
    if (finish) finish(true, {});
    return;
  }
  std::shared_ptr<HelperProtocol> helper = obtainHelper();
  if (!helper) {
    std::vector<MaintenanceFailure> failures;
    for (const Url& url : urls) failures.push_back(installFailure(url));
    if (finish) finish(false, std::move(failures));
    return;
  }
  PlistValue request = maintenanceRequest(HelperMaintenanceOperation::Clean);
  for (const Url& url : urls) request.set(url.path(), PlistValue::dictionary());
  helper->handleEvent(
      raw(HelperHanldeEventID::Maintenance), std::move(request),
      [urls, finish = std::move(finish)](bool ok, int code, PlistValue information) {
        std::vector<MaintenanceFailure> failures;
        if (!ok) {
          for (const Url& url : urls) {
            if (auto failure = failureOf(url.path(), url, code, information)) {
              failures.push_back(std::move(*failure));
            }
          }
        }
        const bool allDone = failures.empty();  // before the list is moved away
        if (finish) finish(allDone, std::move(failures));
      });
}

void MaintenanceService::cleanExtensionCategory(const std::vector<CategoryPtr>& cates,
                                                Finish finish) {
  std::vector<Url> urls;
  for (const CategoryPtr& category : cates) {
    if (!category) continue;
    for (const FilePtr& item : category->childrens) {
      if (item && item->state == 1) urls.push_back(item->url);
    }
  }
  cleanExtensions(
      urls, [cates, finish = std::move(finish)](bool ok, std::vector<MaintenanceFailure> failures) {
        std::set<std::string> failed;
        for (const MaintenanceFailure& failure : failures) failed.insert(failure.url.path());
        for (const CategoryPtr& category : cates) {
          if (!category) continue;
          std::erase_if(category->childrens, [&](const FilePtr& item) {
            if (!item || item->state != 1 || failed.count(item->url.path()) != 0) return false;
            category->size -= item->size;
            return true;
          });
        }
        if (finish) finish(ok, std::move(failures));
      });
}

}  // namespace orvexa
