// The uninstaller under the Linux layout: applications are the desktop
// entries of Paths::desktopApplicationFolders(), not bundles.
//
// Listing: per desktop id (the path below the applications folder without
// ".desktop", its "/" turned into "-": "kde4/foo.desktop" is "kde4-foo"),
// the entry of the first folder that has one is in force. Three levels of
// sub-folders are read at most, never through a link to a folder. It is an
// application unless its [Desktop Entry] group says Hidden=true or
// NoDisplay=true or has no Exec (a link has none). An entry that cannot be
// read is not listed, but its id still counts as installed wherever that
// keeps files (leftovers).
//
// Related files: the entries (not hidden) of the user's configuration,
// data, state and cache folders, of ~/.var/app and, for a Snap, of ~/snap,
// whose name matches one of the application's keys whole, without regard
// to case: the name is the key, or the key followed by one of the plain
// file extensions of kDataExtensions ("foo.conf"). The keys are the desktop
// id, the Flatpak id, the Snap name and the file name of the program Exec
// starts, less a ".AppImage" ending and the version before it
// ("Foo-1.2-x86_64.AppImage" goes by "Foo"), not of a launcher such as
// "env", "sh" or "flatpak". Never by prefix: "Notes" does not claim
// "Notes Pro" nor "notes-backup". The entries of kSharedDataEntries are
// every program's and never claimed.
//
// Who removes what (LinuxAppOrigin):
// - user: an entry in the user's applications folder. Its records are the
//   entry itself, the program it starts when that is a file or link in the
//   home (an AppImage, ~/.local/bin/foo), the folder that program (or the
//   file its link names) was unpacked into when it is the application's
//   alone, and the related files. That folder is one directly below
//   ~/Applications, ~/Apps, ~/opt or ~/.local/opt (neither it nor that
//   folder a link) named after the application whole (its Name, desktop
//   id or program, without regard to case), holding no other application's
//   entry or program: "~/opt/foo" for "~/opt/foo/bin/foo", but neither
//   "~/opt/foo-1.2" nor a folder two applications start from. When the
//   entry overrides a packaged one, the category names that package too:
//   its program stays.
// - userFlatpak: exported by the user's Flatpak installation. Its first
//   record is the installation folder (<user flatpak>/app/<id>), which only
//   `flatpak uninstall --user` removes (uninstallUserFlatpak); then the
//   related files.
// - package, local, systemFlatpak, snap: installed for the whole system.
//   Only the related files in the home are records; the category names the
//   package (`tool("dpkg") -S` on the entry) and the command that removes
//   the program (fillPackages).
// An application's category (kind App, urls = its entry, scanRoots = the
// home) carries its DesktopApplication in attachInfomation.
//
// Sizes (of records, applications and leftover groups) are the engine's,
// as in the macOS scans: the logical bytes of every name below a record, a
// link counting its own length and a folder nothing of its own. They are
// `du -b --apparent-size -l` less the folders' own sizes (4096 each on
// most file systems); plain `du -b` also counts a file with two names below
// a record once. What a clean gives back is the allocated size.
//
// Leftovers: conservative. Only a folder of ~/.var/app whose Flatpak is
// installed neither for the user nor for the system (no folder app/<id> in
// either installation, and no desktop id that matches it whole either way:
// "org.example.Paint" keeps "org.example.Paint.Plugin") is one, with the
// entries of the data folders named exactly after it. An installation
// folder that cannot be read makes every Flatpak count as installed.
// Nothing else is guessed from names.
//
// Unused: the desktop's own record of use. GNOME's
// ~/.local/share/gnome-shell/application_state (an application listed there
// by desktop id has been used) and the application entries of
// ~/.local/share/recently-used.xbel (matched by Name or by the program of
// their exec). Without either file nothing is unused (usageRecordFiles()
// says there is none).
//
// Thread-safety: stateless; the calls block while files are read and tools
// run. Errors are never raised: what cannot be read is left out as above.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "orvexa/model/records.h"

namespace orvexa {

enum class LinuxAppOrigin { user, userFlatpak, systemFlatpak, local, package, snap };

struct DesktopApplication {
  std::string desktopId;  // "org.example.Foo"
  std::string path;       // the entry in force
  LinuxAppOrigin origin = LinuxAppOrigin::package;
  std::string name;           // Name, else the desktop id
  std::string executable;     // name of the program Exec starts (above); "" for a launcher
  std::string program;        // that program's path (below the root) when Exec names it absolutely
  std::string flatpakId;      // X-Flatpak, or the desktop id of a Flatpak export
  std::string snapName;       // X-SnapInstanceName, or the file name before "_"
  std::string shadowedPath;   // the system's entry of the same id a user's entry overrides
  std::string programFolder;  // of a user's application: the folder it was unpacked into
  // Of a system-wide application, as the scan found them (fillPackages):
  std::string package;        // the package that owns it; "" when none is known
  std::string removeCommand;  // what removes the program itself; "" when nothing known does
};

// Names in the data folders that belong to every program of a desktop.
inline constexpr std::string_view kSharedDataEntries[] = {"applications",
                                                          "autostart",
                                                          "dconf",
                                                          "flatpak",
                                                          "fontconfig",
                                                          "fonts",
                                                          "gnome-shell",
                                                          "gtk-2.0",
                                                          "gtk-3.0",
                                                          "gtk-4.0",
                                                          "icons",
                                                          "keyrings",
                                                          "menus",
                                                          "mime",
                                                          "mimeapps.list",
                                                          "pipewire",
                                                          "pulse",
                                                          "recently-used.xbel",
                                                          "sounds",
                                                          "systemd",
                                                          "themes",
                                                          "thumbnails",
                                                          "Trash",
                                                          "user-dirs.dirs",
                                                          "user-dirs.locale",
                                                          "wireplumber",
                                                          "xdg-desktop-portal"};

inline constexpr std::string_view kDataExtensions[] = {
    "conf", "cfg", "ini", "json", "toml", "yaml", "yml", "xml", "db", "sqlite", "log", "state"};

// The application an entry describes; nullopt when it is none (above).
// `desktopId` "" means the file name's.
std::optional<DesktopApplication> parseDesktopApplication(std::string_view text,
                                                          const std::string& path,
                                                          LinuxAppOrigin origin,
                                                          std::string_view desktopId = {});

// Every application in force, by desktop id. `unreadable` (when given)
// receives the ids of entries that could not be read.
std::vector<DesktopApplication> desktopApplications(std::set<std::string>* unreadable = nullptr);

// Whether the data-folder entry `entry` belongs to `app` (the rule above).
bool isRelatedEntry(const DesktopApplication& app, std::string_view entry);

// The existing related files of `app`, in folder and name order.
std::vector<std::string> linuxRelatedFiles(const DesktopApplication& app);

// Sets the package and remove command of each system-wide application: a
// Debian package ("sudo apt remove PKG", one `tool("dpkg") -S ENTRY...`
// for all), a system Flatpak ("sudo flatpak uninstall --system ID"), a Snap
// ("sudo snap remove NAME"): commands to paste as they are. A name a shell
// would read as more than one plain word gets none. For the user's own
// entry only when it overrides a packaged one (then the program stays when
// the entry goes).
void fillPackages(std::vector<DesktopApplication>& apps);

// The category of one application, its records read (sizes as the engine
// gives them), `progress` called per record.
CategoryPtr linuxAppCategory(const FeaturePtr& featureInfo, const DesktopApplication& app,
                             const std::function<void(const std::string&, int64_t)>& progress);

// The leftover groups (see UninstallScanService::getLeftoverAppPath).
std::vector<CategoryPtr> linuxLeftovers(const FeaturePtr& featureInfo);

// The usage record files that exist; empty when the desktop keeps none.
std::vector<std::string> usageRecordFiles();
// Whether the record shows `app` used.
bool wasUsed(const DesktopApplication& app, const std::vector<std::string>& recordTexts);

// For a ticked record that is a user Flatpak's installation folder: runs
// `tool("flatpak") uninstall --user --noninteractive ID`, sets the record's
// deleteStatus (DeleteSuccess once the folder is gone, else DeleteError with
// the tool's words) and unticks it so that a clean leaves the folder to the
// tool. False, touching nothing, for any other record.
bool uninstallUserFlatpak(const FilePtr& record);

}  // namespace orvexa
