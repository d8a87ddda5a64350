// AppPermissionsName: the privacy services of the system's permission
// databases ("service" column of their "access" table). The raw value of a
// case is its name ("kTCCServiceCamera"); getCateogory() is the service name
// the reset tool takes, empty for services that are neither listed nor reset.
//
// A plain value type; safe to share between threads.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvexa {

class AppPermissionsName {
 public:
  enum Value : int {
    kTCCServiceAll,
    kTCCServiceAddressBook,
    kTCCServiceContactsLimited,
    kTCCServiceContactsFull,
    kTCCServiceCalendar,
    kTCCServiceReminders,
    kTCCServiceTwitter,
    kTCCServiceFacebook,
    kTCCServiceSinaWeibo,
    kTCCServiceLiverpool,
    kTCCServiceUbiquity,
    kTCCServiceTencentWeibo,
    kTCCServiceShareKit,
    kTCCServicePhotos,
    kTCCServicePhotosAdd,
    kTCCServiceMicrophone,
    kTCCServiceCamera,
    kTCCServiceWillow,
    kTCCServiceMediaLibrary,
    kTCCServiceSiri,
    kTCCServiceMotion,
    kTCCServiceSpeechRecognition,
    kTCCServiceAppleEvents,
    kTCCServiceLinkedIn,
    kTCCServiceAccessibility,
    kTCCServicePostEvent,
    kTCCServiceListenEvent,
    kTCCServiceLocation,
    kTCCServiceSystemPolicyAllFiles,
    kTCCServiceSystemPolicySysAdminFiles,
    kTCCServiceSystemPolicyDeveloperFiles,
    kTCCServiceSystemPolicyRemovableVolumes,
    kTCCServiceSystemPolicyNetworkVolumes,
    kTCCServiceSystemPolicyDesktopFolder,
    kTCCServiceSystemPolicyDownloadsFolder,
    kTCCServiceSystemPolicyDocumentsFolder,
    kTCCServiceScreenCapture,
    kTCCServiceDeveloperTool,
    kTCCServiceFileProviderPresence,
    kTCCServiceFileProviderDomain,
  };
  static constexpr int kCaseCount = 40;

  constexpr AppPermissionsName(Value value) : value_(value) {}  // NOLINT: implicit like a case

  // The case whose name is `rawValue`, or nothing.
  static std::optional<AppPermissionsName> fromRawValue(std::string_view rawValue);

  Value value() const { return value_; }
  std::string rawValue() const;
  // The raw value without "kTCCService" for AddressBook, Calendar,
  // Reminders, Photos, Microphone, Camera, AppleEvents, Accessibility and
  // the nine from SystemPolicyAllFiles to ScreenCapture; "" for the rest.
  std::string getCateogory() const;

  friend bool operator==(AppPermissionsName a, AppPermissionsName b) {
    return a.value_ == b.value_;
  }
  friend auto operator<=>(AppPermissionsName a, AppPermissionsName b) {
    return a.value_ <=> b.value_;
  }

 private:
  Value value_;
};

}  // namespace orvexa
