// LoginItemsAndLauchAgentsService: the background services (launch agents
// and login items) the user's launch domain knows, whether each is switched
// on ("Start") or off ("Close"), and the installed applications they belong
// to.
//
// Sources:
// - The paths table's tool("launchctl") with "print-disabled" and
//   "user/<getuid()>": blocks such as
//       disabled services = {
//               "com.example.agent" => false
//               "com.apple.Siri.agent" => true
//       }
//       login item associations = {
//               "com.example.helper" => "com.example.app"
//       }
// - The applications: the paths table's tool("mdfind") with
//   "kMDItemContentType=com.apple.application-bundle" when that program
//   exists; otherwise (always on Linux) a walk of applicationsFolder(),
//   systemApplicationsFolder() and <home>/Applications (sub-folders too, not
//   hidden items, not the insides of bundles) for folders named "*.app".
//   Either way each bundle's identifier is read from its Info.plist.
//
// Pairing: a label that does not begin with "com.apple" and has at least
// two dot-separated parts belongs to every application whose identifier
// shares its first two parts ("com.example.agent" -> "com.example.app").
// The parsed "login item associations" block is kept, but its values are
// state texts after parsing (the parser turns every value into "Start" or
// "Close"), so they cannot name an application and do not refine the
// pairing.
//
// Thread-safety: all operations are static, hold no shared state and may be
// called from any thread. They block while the tools run; callbacks are
// called exactly once, on the caller's thread, before the operation returns.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "orvexa/platform/url.h"

namespace orvexa {

// The two blocks of the print-disabled listing.
enum class LoginItemDisableStatus : int { disabledServices = 0, associations = 1 };

// The state texts of a service.
inline constexpr const char* kLoginItemStart = "Start";  // enabled
inline constexpr const char* kLoginItemClose = "Close";  // disabled

class LoginItemsAndLauchAgentsService {
 public:
  // Service label -> "Start" or "Close".
  using ServiceStates = std::map<std::string, std::string>;
  using DisableServiceInfo = std::map<LoginItemDisableStatus, ServiceStates>;
  // First two parts of a bundle identifier ("com.example") -> applications.
  using AppTable = std::map<std::string, std::set<Url>>;
  // (service label, state text).
  using LabelState = std::pair<std::string, std::string>;
  // Application -> its services, in label order.
  using AssociationTable = std::map<Url, std::vector<LabelState>>;

  // The tools run on behalf of the scan of feature `featureIndex` (a
  // finderID): once that scan is stopped (ScanStatusTable says suspend),
  // a tool still running is interrupted and what it printed so far is used.
  // kNoFeature: no scan to stop them (the tools' own limits still hold).
  static constexpr int64_t kNoFeature = -1;

  // The raw print-disabled output ("" when the tool is missing or silent).
  static std::string getAllServeInfo(int64_t featureIndex = kNoFeature);

  // Every match of `pattern` in `str`, in order; an invalid pattern gives an
  // empty list. The same function as SuperScanService::regexGetSub, so
  // matching is case-sensitive here too (a deliberate departure: the one
  // pattern the parser passes has no letters, and two case rules under one
  // name would surprise every other caller).
  static std::vector<std::string> regexGetSub(const std::string& pattern, const std::string& str);

  // The print-disabled output parsed: each brace-delimited block (shortest
  // match of "\{[\S\s]*?\}") is read line by line; a line is split at "=>"
  // (lines with fewer than two parts are skipped); the label and value lose
  // tabs, quotes, blanks and line breaks; the label maps to "Start" when the
  // value contains "false", else to "Close". A block whose text contains
  // "true" or "false" becomes the disabledServices table, any other block
  // the associations table (a later block replaces an earlier one). Both
  // tables are present, possibly empty.
  static DisableServiceInfo getDisableServiceInfo(int64_t featureIndex = kNoFeature);
  // The same parse of a given listing.
  static DisableServiceInfo parseDisableServiceInfo(const std::string& listing);

  // The installed applications by the first two parts of their identifier;
  // identifiers with fewer than two parts are skipped.
  static void getApp(const std::function<void(AppTable)>& finish,
                     int64_t featureIndex = kNoFeature);

  // The applications with their services (see Pairing above).
  static void getAllAssociationApp(const std::function<void(AssociationTable)>& finishFunc,
                                   int64_t featureIndex = kNoFeature);
  // The same pairing of given tables.
  static AssociationTable associate(const DisableServiceInfo& services, const AppTable& apps);

  LoginItemsAndLauchAgentsService() = delete;
};

}  // namespace orvexa
