// PrivilegeHelper: installs the privileged helper program when needed,
// keeps one connection to it and one proxy, and asks it to end.
//
// The helper is named by its label, the host's bundle identifier followed
// by "Helper" (helperName()). Its files and socket come from the paths
// table:
// - the program:      resolve("/Library/PrivilegedHelperTools/<label>")
// - the launch-daemon property list:
//                     resolve("/Library/LaunchDaemons/<label>.plist"), with
//                     "Label", "Program", "ProgramArguments", "SocketPath",
//                     "AllowedUserID" and, under a sandbox root, "RootFolder"
// - the socket:       resolve("/var/run/<label>.socket")
// The version of an installation is kept in the user defaults
// (platform/user_defaults.h) under "<label>-Install".
//
// Installing goes through a BlessingMechanism, the role the system's
// blessing call plays: the default (LaunchDaemonInstaller) copies the
// program, writes the property list and starts the program detached; it
// needs root rights. Hosts and tests may put another mechanism in place.
//
// Deliberately, nothing installs or starts the helper on the way: only an
// explicit installPrivilege (the command line's "helper install") does.
// getHelperTool never installs (not when the helper is missing, nor when
// "ReInstallHelper" finds it out of date) and never starts an installed
// helper that is not running; it answers with a text that names
// "sudo orvexa helper install" instead. A program that already runs as
// root needs no helper at all: getHelperTool then hands out a proxy that
// does the work inside the program, through the helper's own request
// handler, file operations and path policy (no daemon is started or left
// behind).
//
// Thread-safety: every member may be called from any thread; getHelperTool
// and installPrivilege run one at a time. Connection and proxy handlers run
// on the main queue (units/main_queue.h) and only forget the two fields.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "orvexa/helper/helper_connection.h"
#include "orvexa/helper/helper_protocol.h"

namespace orvexa {

// The launchd domain callers pass as `privilegeType`.
// The domain a blessing installs into (the system-wide daemons); passed to
// BlessingMechanism::blessJob.
inline constexpr const char* kSMDomainSystemLaunchd = "kSMDomainSystemLaunchd";
// The right an installation asks for.
inline constexpr const char* kPrivilegedHelperInstallRight = "system.privilege.install-helper";

// Error codes of a failed blessing ("blessing": installing the helper as a
// root daemon, done here by a LaunchDaemonInstaller); the numbers are the
// platform installer's error codes.
inline constexpr int kSMErrorInternalFailure = 2;
inline constexpr int kSMErrorInvalidSignature = 3;
inline constexpr int kSMErrorAuthorizationFailure = 4;
inline constexpr int kSMErrorToolNotValid = 5;
inline constexpr int kSMErrorJobNotFound = 6;
inline constexpr int kSMErrorServiceUnavailable = 7;
inline constexpr int kSMErrorJobPlistNotFound = 8;
inline constexpr int kSMErrorJobMustBeEnabled = 9;
inline constexpr int kSMErrorInvalidPlist = 10;

// The outcome of an installation and its user-facing text.
class PrivilegeInstallResult {
 public:
  enum class Kind { success, authorizationFail, getAdmainFail, blessError };

  static PrivilegeInstallResult success() { return {Kind::success, 0}; }
  static PrivilegeInstallResult authorizationFail() { return {Kind::authorizationFail, 0}; }
  static PrivilegeInstallResult getAdmainFail() { return {Kind::getAdmainFail, 0}; }
  static PrivilegeInstallResult blessError(int code) { return {Kind::blessError, code}; }

  Kind kind() const { return kind_; }
  int code() const { return code_; }  // blessError only
  // Empty for success; "Create authorization fail!", ... otherwise.
  std::string content() const;

 private:
  PrivilegeInstallResult(Kind kind, int code) : kind_(kind), code_(code) {}
  Kind kind_;
  int code_;
};

// The steps of an installation. Called one installation at a time.
class BlessingMechanism {
 public:
  virtual ~BlessingMechanism() = default;
  // An empty authorisation; false gives authorizationFail.
  virtual bool createAuthorization() = 0;
  // The right to install a privileged helper; false gives getAdmainFail.
  virtual bool copyRights(const std::string& rightName) = 0;
  // Installs and starts the helper: 0, or a blessing error code.
  virtual int blessJob(const std::string& domain, const std::string& label) = 0;
  // Always called before an installation returns.
  virtual void freeAuthorization() = 0;
};

// The default mechanism: installs as a launch daemon into the paths
// table's folders and starts the program detached, its output appended to
// resolve("/var/log/<label>.log") when that folder exists; in the Linux
// layout it also writes the systemd unit, and under systemd has systemctl
// start it instead (see helperRunsUnderSystemd). Installing
// replaces a running helper (it is asked to end first).
class LaunchDaemonInstaller : public BlessingMechanism {
 public:
  // `program`: the helper program to install; empty: "orvexa-helper" in the
  // folder of the running program.
  explicit LaunchDaemonInstaller(std::string program = {});

  // The user the helper will serve besides root. Default: the user who
  // asked for root rights (SUDO_UID when running under sudo), else the real
  // user id.
  void setAllowedUserId(uid_t uid) { allowedUserId_ = uid; }

  bool createAuthorization() override;                     // works out the user to allow
  bool copyRights(const std::string& rightName) override;  // the effective user is root
  int blessJob(const std::string& domain, const std::string& label) override;
  void freeAuthorization() override {}

  const std::string& program() const { return program_; }
  static std::string defaultProgram();

 private:
  std::string program_;
  std::optional<uid_t> allowedUserId_;
  uid_t authorizedUserId_ = 0;
};

// The texts of getHelperTool when no helper can be used.
inline constexpr const char* kHelperNotInstalledText =
    "The privileged helper is not installed; install it with \"sudo orvexa helper install\".";
inline constexpr const char* kHelperOutdatedText =
    "The privileged helper is out of date; install it again with \"sudo orvexa helper "
    "install\".";
inline constexpr const char* kHelperNotRunningText =
    "The privileged helper is installed but not running; start it with \"sudo orvexa helper "
    "install\".";

// Where the helper of a label lives: the program and its settings (a
// property list: socket, allowed user, root, layout) in
// helperProgramFolder() (platform/service_paths.h; macOS: the settings are
// the launch daemon's property list in serviceUnitFolder()), the service that starts it (Linux:
// serviceUnitFolder()/<label>.service, a systemd unit; macOS: the property
// list) and its socket in runtimeFolder().
std::string helperToolPath(const std::string& label);
std::string helperLaunchDaemonPlistPath(const std::string& label);
std::string helperServiceUnitPath(const std::string& label);
std::string helperSocketPath(const std::string& label);

// Linux layout, and systemd runs the system (R/run/systemd/system exists):
// the helper is a systemd service, enabled and started with the paths
// table's tool("systemctl") ("daemon-reload", then "enable --now
// <label>.service"). Otherwise it is started detached, as on macOS.
bool helperRunsUnderSystemd();
// Under systemd, "systemctl disable --now <label>.service" and
// "systemctl daemon-reload"; elsewhere nothing. Empty, or why they failed.
std::string disableHelperService(const std::string& label);
std::string reloadHelperServices();

class PrivilegeHelper {
 public:
  using HelperTool = std::pair<std::shared_ptr<HelperProtocol>, std::optional<std::string>>;

  // The shared instance ("shard" is the historical spelling of shared(), as
  // in Paths::shared()).
  static PrivilegeHelper& shard();
  // The host's bundle identifier followed by "Helper".
  static std::string helperName();

  // The single entry of all callers. Running as root (inProcess()): the
  // in-process proxy. Otherwise the held proxy, or a new connection to the
  // installed helper; kHelperNotInstalledText, kHelperOutdatedText (when
  // checkHelper fails with both files present) or kHelperNotRunningText when
  // there is none. A held proxy whose connection has ended is forgotten
  // first. `privilegeType` is kept for the callers' sake; nothing installs.
  HelperTool getHelperTool(const std::string& machServiceName, const std::string& privilegeType);
  PrivilegeInstallResult installPrivilege(const std::string& privilegeType,
                                          const std::string& machServiceName);
  // Whether the installed helper can be used without installing again.
  bool checkHelper(const std::string& machServiceName);
  // Connects to the helper's socket and keeps the connection; null when
  // nothing serves it (nothing is started).
  std::shared_ptr<HelperConnection> getConnect(const std::string& machServiceName);
  // Asks the held helper to end, ignoring its answer.
  void closeHelper();
  // Forgets the connection and proxy (the helper keeps running).
  void close();

  std::shared_ptr<HelperConnection> helpConnect() const;
  std::shared_ptr<HelperProtocol> helpTool() const;

  // Whether privileged work runs inside this program: by default when the
  // effective user is root. Tests that serve the helper on a socket, or
  // stand for a user without one, set it; nullopt restores the default.
  bool inProcess() const;
  void setInProcess(std::optional<bool> inProcess);

  // Null puts the default LaunchDaemonInstaller back.
  void setBlessingMechanism(std::shared_ptr<BlessingMechanism> mechanism);
  std::shared_ptr<BlessingMechanism> blessingMechanism() const;

  struct State;

 private:
  PrivilegeHelper();
  std::shared_ptr<State> state_;
};

class ClosePrivilegeTool {
 public:
  // PrivilegeHelper::shard().closeHelper().
  static void CloseHelper();
};

}  // namespace orvexa
