#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "helper/unix_socket.h"
#include "orvexa/helper/helper_message.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/detached_process.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/file_reader.h"
#include "orvexa/platform/file_writer.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "orvexa/platform/service_paths.h"
#include "orvexa/units/log_service.h"
#include "platform/unique_fd.h"

namespace orvexa {

using detail::UniqueFd;

namespace {

constexpr auto kStartLimit = std::chrono::seconds(5);
constexpr auto kPollInterval = std::chrono::milliseconds(20);

void logLine(const std::string& text) {
  LogService::shard().log(LogService::LogLevel::Info, "PrivilegeHelper " + text);
}

bool socketAnswers(const std::string& socketPath) {
  int err = 0;
  UniqueFd fd = detail::connectUnixSocket(socketPath, &err);
  return fd.valid();
}

bool waitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

// Asks a helper already serving at the socket to end, and waits until it has.
void endRunningHelper(const std::string& socketPath) {
  int err = 0;
  UniqueFd fd = detail::connectUnixSocket(socketPath, &err);
  if (!fd.valid()) return;
  HelperRequest request;
  request.operation = HelperRequest::Operation::handleEvent;
  request.event = raw(HelperHanldeEventID::CloseHelper);
  if (writeAllToSocket(fd.get(), encodeHelperFrame(helperRequestToPlist(request)))) {
    std::string body;
    (void)readHelperFrame(fd.get(), kHelperMaxFrameSize, &body);
  }
  fd.reset();
  (void)waitUntil([&socketPath] { return !socketAnswers(socketPath); });
}

// Copies the program into place through a temporary file beside it, so a
// running copy is never overwritten in place.
bool installProgram(const std::string& from, const std::string& to, std::string* why) {
  std::optional<std::string> program = readRegularFile(from, kNoSizeLimit, why);
  if (!program) return false;
  FileStatus written = writeFileAtomically(to, *program, 0755);
  if (!written.ok()) *why = written.message();
  return written.ok();
}

uid_t installingUserId() {
  if (::geteuid() == 0) {
    if (const char* sudo = std::getenv("SUDO_UID"); sudo != nullptr && *sudo != '\0') {
      char* end = nullptr;
      unsigned long value = std::strtoul(sudo, &end, 10);
      if (end != nullptr && *end == '\0') return static_cast<uid_t>(value);
    }
  }
  return ::getuid();
}

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Runs the paths table's tool `name` with `arguments`, its output on
// /dev/null; empty when it exited with status 0, else why not.
std::string runTool(const std::string& name, const std::vector<std::string>& arguments) {
  const std::string program = Paths::shared().tool(name);
  std::vector<std::string> all = {program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  std::string command = name;
  for (const std::string& a : arguments) command += " " + a;
  if (rc != 0)
    return "\"" + command + "\" could not run: " + FileStatus::fromErrno(rc, program).message();
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  return "\"" + command + "\" failed" +
         (WIFEXITED(status) ? " with status " + std::to_string(WEXITSTATUS(status)) : "");
}

// Where a helper started detached writes its output: "" when the system has
// no log folder.
std::string helperLogPath(const std::string& label) {
  const std::string logFolder = Paths::shared().resolve("/var/log");
  return isDirectory(logFolder) ? logFolder + "/" + label + ".log" : "";
}

// Quotes a word of a systemd command line when it needs it.
std::string unitWord(const std::string& word) {
  if (word.find_first_of(" \t\"\\'") == std::string::npos) return word;
  std::string quoted = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// Written as every file of ours is (a temporary renamed over the unit), so a
// link planted at the unit's path is replaced, never written through as root.
bool writeServiceUnit(const std::string& label, std::string* why) {
  const std::string text =
      "[Unit]\nDescription=Orvexa privileged helper (" + label +
      ")\n\n[Service]\nType=simple\nExecStart=" + unitWord(helperToolPath(label)) +
      " --launchd-plist " + unitWord(helperLaunchDaemonPlistPath(label)) +
      "\n"
      // Ending on request (stop, uninstall) exits 0 and is not undone.
      "Restart=on-failure\n\n[Install]\nWantedBy=multi-user.target\n";
  const FileStatus written = writeFileAtomically(helperServiceUnitPath(label), text, 0644);
  if (!written.ok()) *why = written.message();
  return written.ok();
}

bool launchInstalled(const std::string& label) {
  const std::string program = helperToolPath(label);
  const std::string plist = helperLaunchDaemonPlistPath(label);
  const std::string socket = helperSocketPath(label);
  if (!isExecutableFile(program) || !fileExists(plist)) return false;
  if (helperRunsUnderSystemd()) {
    const std::string unit = label + ".service";
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"daemon-reload"}, {"enable", "--now", unit}}) {
      if (std::string failure = runTool("systemctl", arguments); !failure.empty()) {
        logLine("bless: " + failure);
        return false;
      }
    }
    return waitUntil([&socket] { return socketAnswers(socket); });
  }
  if (!startDetached(program, {"--launchd-plist", plist}, helperLogPath(label))) return false;
  return waitUntil([&socket] { return socketAnswers(socket); });
}

}  // namespace

std::string helperToolPath(const std::string& label) { return helperProgramFolder() + "/" + label; }

std::string helperLaunchDaemonPlistPath(const std::string& label) {
  return (Paths::shared().layout() == Layout::Linux ? helperProgramFolder() : serviceUnitFolder()) +
         "/" + label + ".plist";
}

std::string helperServiceUnitPath(const std::string& label) {
  if (Paths::shared().layout() != Layout::Linux) return helperLaunchDaemonPlistPath(label);
  return serviceUnitFolder() + "/" + label + ".service";
}

std::string helperSocketPath(const std::string& label) {
  return runtimeFolder() + "/" + label + ".socket";
}

bool helperRunsUnderSystemd() {
  return Paths::shared().layout() == Layout::Linux &&
         isDirectory(Paths::shared().root() + "/run/systemd/system");
}

std::string disableHelperService(const std::string& label) {
  if (!helperRunsUnderSystemd()) return {};
  return runTool("systemctl", {"disable", "--now", label + ".service"});
}

std::string reloadHelperServices() {
  if (!helperRunsUnderSystemd()) return {};
  return runTool("systemctl", {"daemon-reload"});
}

LaunchDaemonInstaller::LaunchDaemonInstaller(std::string program)
    : program_(program.empty() ? defaultProgram() : std::move(program)) {}

std::string LaunchDaemonInstaller::defaultProgram() {
  std::string self(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (n <= 0) return "orvexa-helper";
  self.resize(static_cast<size_t>(n));
  return self.substr(0, self.rfind('/') + 1) + "orvexa-helper";
}

bool LaunchDaemonInstaller::createAuthorization() {
  uid_t real = 0;
  uid_t effective = 0;
  uid_t saved = 0;
  if (::getresuid(&real, &effective, &saved) != 0) return false;
  authorizedUserId_ = allowedUserId_ ? *allowedUserId_ : installingUserId();
  return true;
}

bool LaunchDaemonInstaller::copyRights(const std::string& rightName) {
  (void)rightName;  // one right exists: installing needs root
  return ::geteuid() == 0;
}

int LaunchDaemonInstaller::blessJob(const std::string& domain, const std::string& label) {
  if (domain != kSMDomainSystemLaunchd) return kSMErrorInternalFailure;
  if (label.empty() || label.find('/') != std::string::npos || label == "." || label == "..") {
    return kSMErrorInvalidPlist;
  }
  if (!isExecutableFile(program_)) {
    logLine("bless: no helper program at " + program_);
    return kSMErrorToolNotValid;
  }
  const std::string toolFolder = helperProgramFolder();
  const std::string daemonFolder = serviceUnitFolder();
  const std::string socket = helperSocketPath(label);
  const std::string socketFolder = socket.substr(0, socket.rfind('/'));
  for (const std::string& folder : {toolFolder, daemonFolder, socketFolder}) {
    FileStatus made = createDirectory(folder, true);
    if (!made.ok()) {
      logLine("bless: " + made.message());
      return kSMErrorInternalFailure;
    }
  }
  endRunningHelper(socket);

  const std::string tool = helperToolPath(label);
  std::string why;
  if (!installProgram(program_, tool, &why)) {
    logLine("bless: " + why);
    return kSMErrorInternalFailure;
  }
  const std::string plistPath = helperLaunchDaemonPlistPath(label);
  PlistValue plist = PlistValue::dictionary();
  plist.set("Label", label);
  plist.set("Program", tool);
  plist.set("ProgramArguments",
            PlistValue(PlistValue::Array{PlistValue(tool), PlistValue("--launchd-plist"),
                                         PlistValue(plistPath)}));
  plist.set("SocketPath", socket);
  plist.set("AllowedUserID", static_cast<int64_t>(authorizedUserId_));
  if (!Paths::shared().root().empty()) plist.set("RootFolder", Paths::shared().root());
  const bool linux = Paths::shared().layout() == Layout::Linux;
  plist.set("Layout", std::string(linux ? "linux" : "macos"));
  if (linux) plist.set("ServiceFile", helperServiceUnitPath(label));
  // Uninstalling removes the log of a helper started detached too.
  if (const std::string log = helperLogPath(label); !log.empty()) {
    plist.set("StandardErrorPath", log);
  }
  plist.set("RunAtLoad", true);
  if (!writePlistFile(plistPath, plist, PlistFormat::Xml, &why)) {
    logLine("bless: " + why);
    return kSMErrorInvalidPlist;
  }
  ::chmod(plistPath.c_str(), 0644);
  if (linux && !writeServiceUnit(label, &why)) {
    logLine("bless: " + why);
    return kSMErrorInternalFailure;
  }
  if (!launchInstalled(label)) {
    logLine("bless: the helper did not start serving at " + socket);
    return kSMErrorServiceUnavailable;
  }
  return 0;
}

}  // namespace orvexa
