// Which entries of the regular folders belong to an application, and which
// are never offered as leftovers.
//
// Names match whole: an entry belongs to a name when the entry's name equals
// it or continues after it with ".", "-", "_" or a blank ("Foo",
// "Foo.plist", "Foo Data", "com.example.go.helper" for "Foo" and
// "com.example.go"), never by bare prefix: "Go" does not claim "Google" nor
// "GoodNotes", "com.example.go" does not claim "com.example.gone.plist". This
// departs on purpose from matching by the beginning of the name, which made
// removing one application take another's files.
//
// Stateless; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "orvexa/platform/bundle.h"

namespace orvexa {

// True when `entry` equals `name` or continues after it with ".", "-", "_"
// or a blank. Letters are compared exactly, or without regard to case when
// `ignoreCase`. An empty `name` matches nothing.
bool nameMatchesWhole(std::string_view entry, std::string_view name, bool ignoreCase = false);

// Whether the folder entry at `path` (named `name`, a symbolic link when
// `isLink`) is an application bundle to count as installed: a folder named
// "*.app", or a link so named that leads to a folder (applications linked
// into the applications folder are installed as much as copied ones).
bool isInstalledBundleEntry(const std::string& path, std::string_view name, bool isDirectory,
                            bool isLink);

// The names an application is known by, each once, empty ones left out:
// its bundle identifier, its folder name without ".app", "CFBundleName",
// "CFBundleDisplayName" and "CFBundleExecutable".
std::vector<std::string> knownNames(const ApplicationBundle& bundle);

// True when `name` reads as a bundle identifier: at least three non-empty
// components separated by ".", the first of lower-case letters only, no
// blank or "/" anywhere ("com.google.Keystone", not "Google" or "Foo.log").
bool isBundleIdentifierName(std::string_view name);

// The vendor part of a bundle identifier (its second component: "google" in
// "com.google.Chrome"); empty when `name` is not a bundle identifier.
std::string_view vendorOf(std::string_view name);

// Entries of the regular folders that belong to the system or to every
// program. They are never offered as leftovers, whatever their name
// suggests, and an application claims them only by its bundle identifier
// (a third-party "Dock" does not take the system's Dock folder). One table;
// a `prefix` entry covers every name that begins with it (case as written),
// the others a name equal to theirs without regard to case, alone or
// followed by "." and more ("loginwindow.plist"; not "Audio Hijack").
struct KeptEntry {
  std::string_view name;
  bool prefix = false;
};
inline constexpr KeptEntry kKeptEntries[] = {
    // The system's own identifiers: its preferences, containers, saved
    // state; the printing system's configuration.
    {"com.apple", true},
    {"org.cups", true},
    // Device backups and the sync state of devices.
    {"MobileSync"},
    {"SyncServices"},
    // Personal data the system's own programs keep: contacts, calls,
    // messages, what the system learns of the user's habits, accounts.
    {"AddressBook"},
    {"CallHistoryDB"},
    {"CallHistoryTransactions"},
    {"FaceTime"},
    {"Knowledge"},
    {"Accounts"},
    {"MobileMeAccounts"},
    // Crash reports and diagnostics.
    {"CrashReporter"},
    {"DiagnosticReports"},
    {"CoreSimulator"},
    // Keychains.
    {"Keychains"},
    // Network, audio, printing and log-in configuration, settings kept per
    // host, the services menu.
    {"SystemConfiguration"},
    {"Audio"},
    {"ByHost"},
    {"loginwindow"},
    {"OpenDirectory"},
    {"DirectoryService"},
    {"Logging"},
    {"FeatureFlags"},
    {"pbs"},
    // iCloud and the file providers that mirror it, and the daemons that
    // sync it.
    {"iCloud"},
    {"CloudDocs"},
    {"CloudKit"},
    {"FileProvider"},
    {"Mobile Documents"},
    {"cloudd"},
    {"accountsd"},
    {"identityservicesd"},
    {"networkserviceproxy"},
    {"icdd"},
    // Folders of the system's own programs.
    {"Dock"},
    {"Safari"},
    {"Finder"},
    {"Spotlight"},
    {"Quick Look"},
    {"QuickLook"},
    {"App Store"},
    {"AppStore"},
    {"DiskImages"},
    {"Animoji"},
    // Cookie and security stores shared by every program.
    {"Cookies.binarycookies"},
    {"HSTS"},
};

// True when an entry named `name` matches kKeptEntries.
bool isKeptEntryName(std::string_view name);

}  // namespace orvexa
