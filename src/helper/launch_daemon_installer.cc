#include <fcntl.h>
#include <signal.h>
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
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
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
  UniqueFd fd(detail::connectUnixSocket(socketPath, &err));
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
  UniqueFd fd(detail::connectUnixSocket(socketPath, &err));
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
  RegularFile source = RegularFile::open(from);
  if (!source.ok()) {
    *why = source.status().message();
    return false;
  }
  std::string temporary = to + ".XXXXXX";
  UniqueFd target(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!target.valid()) {
    *why = FileStatus::fromErrno(errno, to).message();
    return false;
  }
  auto fail = [&](int err, const std::string& path) {
    *why = FileStatus::fromErrno(err, path).message();
    ::unlink(temporary.c_str());
    return false;
  };
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = source.read(buffer, sizeof buffer);
    if (n < 0) return fail(errno, from);
    if (n == 0) break;
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = ::write(target.get(), buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return fail(w < 0 ? errno : EIO, to);
      done += w;
    }
  }
  if (::fchmod(target.get(), 0755) != 0 || ::fsync(target.get()) != 0) return fail(errno, to);
  target.reset();
  if (::rename(temporary.c_str(), to.c_str()) != 0) return fail(errno, to);
  return true;
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

bool launchInstalled(const std::string& label) {
  const std::string program = helperToolPath(label);
  const std::string plist = helperLaunchDaemonPlistPath(label);
  const std::string socket = helperSocketPath(label);
  if (!isExecutableFile(program) || !fileExists(plist)) return false;
  const std::string logFolder = Paths::shared().resolve("/var/log");
  const std::string logPath = isDirectory(logFolder) ? logFolder + "/" + label + ".log" : "";
  if (!startDetached(program, {"--launchd-plist", plist}, logPath)) return false;
  return waitUntil([&socket] { return socketAnswers(socket); });
}

}  // namespace

std::string helperToolPath(const std::string& label) {
  return Paths::shared().resolve("/Library/PrivilegedHelperTools/" + label);
}

std::string helperLaunchDaemonPlistPath(const std::string& label) {
  return Paths::shared().resolve("/Library/LaunchDaemons/" + label + ".plist");
}

std::string helperSocketPath(const std::string& label) {
  return Paths::shared().resolve("/var/run/" + label + ".socket");
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
  const std::string toolFolder = Paths::shared().resolve("/Library/PrivilegedHelperTools");
  const std::string daemonFolder = Paths::shared().resolve("/Library/LaunchDaemons");
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
  // The helper serves the folders of the installing program's layout.
  plist.set("Layout", Paths::shared().layout() == Layout::Linux ? "linux" : "macos");
  plist.set("RunAtLoad", true);
  if (!writePlistFile(plistPath, plist, PlistFormat::Xml, &why)) {
    logLine("bless: " + why);
    return kSMErrorInvalidPlist;
  }
  ::chmod(plistPath.c_str(), 0644);
  if (!launchInstalled(label)) {
    logLine("bless: the helper did not start serving at " + socket);
    return kSMErrorServiceUnavailable;
  }
  return 0;
}

}  // namespace orvexa
