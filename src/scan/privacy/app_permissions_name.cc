#include "orvexa/scan/privacy/app_permissions_name.h"

#include <array>

namespace orvexa {
namespace {

constexpr std::string_view kPrefix = "kTCCService";

// Raw values in case order.
constexpr std::array<std::string_view, AppPermissionsName::kCaseCount> kRawValues = {
    "kTCCServiceAll",
    "kTCCServiceAddressBook",
    "kTCCServiceContactsLimited",
    "kTCCServiceContactsFull",
    "kTCCServiceCalendar",
    "kTCCServiceReminders",
    "kTCCServiceTwitter",
    "kTCCServiceFacebook",
    "kTCCServiceSinaWeibo",
    "kTCCServiceLiverpool",
    "kTCCServiceUbiquity",
    "kTCCServiceTencentWeibo",
    "kTCCServiceShareKit",
    "kTCCServicePhotos",
    "kTCCServicePhotosAdd",
    "kTCCServiceMicrophone",
    "kTCCServiceCamera",
    "kTCCServiceWillow",
    "kTCCServiceMediaLibrary",
    "kTCCServiceSiri",
    "kTCCServiceMotion",
    "kTCCServiceSpeechRecognition",
    "kTCCServiceAppleEvents",
    "kTCCServiceLinkedIn",
    "kTCCServiceAccessibility",
    "kTCCServicePostEvent",
    "kTCCServiceListenEvent",
    "kTCCServiceLocation",
    "kTCCServiceSystemPolicyAllFiles",
    "kTCCServiceSystemPolicySysAdminFiles",
    "kTCCServiceSystemPolicyDeveloperFiles",
    "kTCCServiceSystemPolicyRemovableVolumes",
    "kTCCServiceSystemPolicyNetworkVolumes",
    "kTCCServiceSystemPolicyDesktopFolder",
    "kTCCServiceSystemPolicyDownloadsFolder",
    "kTCCServiceSystemPolicyDocumentsFolder",
    "kTCCServiceScreenCapture",
    "kTCCServiceDeveloperTool",
    "kTCCServiceFileProviderPresence",
    "kTCCServiceFileProviderDomain",
};

}  // namespace

std::optional<AppPermissionsName> AppPermissionsName::fromRawValue(std::string_view rawValue) {
  for (size_t i = 0; i < kRawValues.size(); ++i) {
    if (kRawValues[i] == rawValue) return AppPermissionsName(static_cast<Value>(i));
  }
  return std::nullopt;
}

std::string AppPermissionsName::rawValue() const {
  return std::string(kRawValues[static_cast<size_t>(value_)]);
}

std::string AppPermissionsName::getCateogory() const {
  switch (value_) {
    case kTCCServiceAddressBook:
    case kTCCServiceCalendar:
    case kTCCServiceReminders:
    case kTCCServicePhotos:
    case kTCCServiceMicrophone:
    case kTCCServiceCamera:
    case kTCCServiceAppleEvents:
    case kTCCServiceAccessibility:
    case kTCCServiceSystemPolicyAllFiles:
    case kTCCServiceSystemPolicySysAdminFiles:
    case kTCCServiceSystemPolicyDeveloperFiles:
    case kTCCServiceSystemPolicyRemovableVolumes:
    case kTCCServiceSystemPolicyNetworkVolumes:
    case kTCCServiceSystemPolicyDesktopFolder:
    case kTCCServiceSystemPolicyDownloadsFolder:
    case kTCCServiceSystemPolicyDocumentsFolder:
    case kTCCServiceScreenCapture:
      return rawValue().substr(kPrefix.size());
    default:
      return "";
  }
}

}  // namespace orvexa
