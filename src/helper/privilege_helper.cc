#include "orvexa/helper/privilege_helper.h"

#include <unistd.h>

#include <mutex>

#include "helper/in_process_helper.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/identity.h"
#include "orvexa/platform/user_defaults.h"
#include "orvexa/units/log_service.h"
#include "orvexa/units/main_queue.h"

namespace orvexa {

namespace {

std::string expectedVersion() {
  std::string version = Identity::shared().bundleVersion();
  return version.empty() ? std::string("1.0.0") : version;
}

}  // namespace

std::string PrivilegeInstallResult::content() const {
  switch (kind_) {
    case Kind::success:
      return {};
    case Kind::authorizationFail:
      return "Create authorization fail!";
    case Kind::getAdmainFail:
      return "Get admain authorization fail!";
    case Kind::blessError:
      break;
  }
  switch (code_) {
    case 2:
      return "blessError: kSMErrorInternalFailure";
    case 3:
      return "blessError: kSMErrorInvalidSignature";
    case 4:
      return "blessError: kSMErrorAuthorizationFailure";
    case 5:
      return "blessError: kSMErrorToolNotValid";
    case 6:
      return "blessError: kSMErrorJobNotFound";
    case 7:
      return "blessError: kSMErrorServiceUnavailable";
    case 9:
      return "Privilege Helper is disabled by other process. The command has been copied to your "
             "pasteboard";
    case 10:
      return "blessError: kSMErrorInvalidPlist";
    default:
      return "bless unknown error:" + std::to_string(code_);
  }
}

struct PrivilegeHelper::State {
  mutable std::mutex mu;  // guards the fields below
  std::shared_ptr<HelperConnection> connect;
  std::shared_ptr<HelperProtocol> tool;
  const HelperConnection* toolConnection = nullptr;  // identity only: where `tool` came from
  std::shared_ptr<BlessingMechanism> mechanism;
  std::optional<bool> inProcess;
  std::shared_ptr<HelperProtocol> inProcessTool;

  std::mutex getMu;  // one getHelperTool / installPrivilege at a time

  std::shared_ptr<BlessingMechanism> currentMechanism() {
    std::lock_guard lock(mu);
    if (!mechanism) mechanism = std::make_shared<LaunchDaemonInstaller>();
    return mechanism;
  }
};

PrivilegeHelper::PrivilegeHelper() : state_(std::make_shared<State>()) {}

PrivilegeHelper& PrivilegeHelper::shard() {
  static PrivilegeHelper* instance = new PrivilegeHelper;  // lives for the process
  return *instance;
}

std::string PrivilegeHelper::helperName() {
  return Identity::shared().bundleIdentifier() + "Helper";
}

PrivilegeHelper::HelperTool PrivilegeHelper::getHelperTool(const std::string& machServiceName,
                                                           const std::string& privilegeType) {
  (void)privilegeType;
  std::lock_guard serial(state_->getMu);
  if (inProcess()) {
    std::lock_guard lock(state_->mu);
    if (!state_->inProcessTool) state_->inProcessTool = detail::makeInProcessHelper();
    return {state_->inProcessTool, std::nullopt};
  }
  if (!checkHelper(machServiceName)) {
    const bool present = fileExists(helperLaunchDaemonPlistPath(machServiceName)) &&
                         fileExists(helperToolPath(machServiceName));
    return {nullptr, std::string(present ? kHelperOutdatedText : kHelperNotInstalledText)};
  }
  {
    std::lock_guard lock(state_->mu);
    if (state_->tool) {
      if (state_->connect && state_->connect->isValid()) return {state_->tool, std::nullopt};
      // Its connection has ended; the handlers would forget it shortly.
      state_->tool.reset();
      state_->toolConnection = nullptr;
      state_->connect.reset();
    }
  }
  std::shared_ptr<HelperConnection> connection = getConnect(machServiceName);
  if (!connection) return {nullptr, std::string(kHelperNotRunningText)};
  std::weak_ptr<State> weak = state_;
  const HelperConnection* identity = connection.get();
  std::shared_ptr<HelperProtocol> proxy =
      connection->remoteObjectProxyWithErrorHandler([weak, identity](const std::string& error) {
        LogService::shard().log(LogService::LogLevel::Info,
                                "PrivilegeHelper proxy error: " + error);
        MainQueue::async([weak, identity] {
          std::shared_ptr<State> state = weak.lock();
          if (!state) return;
          std::lock_guard lock(state->mu);
          if (state->toolConnection == identity) {
            state->tool.reset();
            state->toolConnection = nullptr;
          }
        });
      });
  if (!proxy) return {nullptr, std::string(kHelperNotRunningText)};
  std::lock_guard lock(state_->mu);
  state_->tool = proxy;
  state_->toolConnection = identity;
  return {proxy, std::nullopt};
}

PrivilegeInstallResult PrivilegeHelper::installPrivilege(const std::string& privilegeType,
                                                         const std::string& machServiceName) {
  std::shared_ptr<BlessingMechanism> mechanism = state_->currentMechanism();
  PrivilegeInstallResult result = PrivilegeInstallResult::success();
  if (!mechanism->createAuthorization()) {
    result = PrivilegeInstallResult::authorizationFail();
  } else if (!mechanism->copyRights(kPrivilegedHelperInstallRight)) {
    result = PrivilegeInstallResult::getAdmainFail();
  } else if (int code = mechanism->blessJob(privilegeType, machServiceName); code != 0) {
    result = PrivilegeInstallResult::blessError(code);
  } else {
    std::string why;
    if (!UserDefaults::standard().set(machServiceName + "-Install", expectedVersion(), &why)) {
      LogService::shard().log(LogService::LogLevel::Info,
                              "PrivilegeHelper cannot store the installed version: " + why);
    }
  }
  mechanism->freeAuthorization();
  if (!result.content().empty()) {
    LogService::shard().log(LogService::LogLevel::Info,
                            "PrivilegeHelper install " + machServiceName + ": " + result.content());
  }
  return result;
}

bool PrivilegeHelper::checkHelper(const std::string& machServiceName) {
  const std::string expected = expectedVersion();
  if (!fileExists(helperLaunchDaemonPlistPath(machServiceName)) ||
      !fileExists(helperToolPath(machServiceName))) {
    return false;
  }
  if (!Identity::shared().reInstallHelper()) return true;
  std::optional<std::string> installed =
      UserDefaults::standard().string(machServiceName + "-Install");
  return installed && *installed == expected;
}

std::shared_ptr<HelperConnection> PrivilegeHelper::getConnect(const std::string& machServiceName) {
  const std::string socket = helperSocketPath(machServiceName);
  std::shared_ptr<HelperConnection> connection = HelperConnection::connect(socket);
  if (!connection) return nullptr;
  std::weak_ptr<State> weak = state_;
  const HelperConnection* identity = connection.get();
  connection->setInvalidationHandler([weak, identity] {
    MainQueue::async([weak, identity] {
      std::shared_ptr<State> state = weak.lock();
      if (!state) return;
      std::shared_ptr<HelperConnection> dropped;  // released outside the lock
      std::lock_guard lock(state->mu);
      if (state->connect.get() == identity) {
        dropped = std::move(state->connect);
        if (state->toolConnection == identity) {
          state->tool.reset();
          state->toolConnection = nullptr;
        }
      }
    });
  });
  std::lock_guard lock(state_->mu);
  state_->connect = connection;
  return connection;
}

void PrivilegeHelper::closeHelper() {
  std::shared_ptr<HelperProtocol> tool = helpTool();
  if (!tool) return;
  tool->handleEvent(raw(HelperHanldeEventID::CloseHelper), PlistValue::dictionary(),
                    [](bool, int, PlistValue) {});
}

void PrivilegeHelper::close() {
  std::shared_ptr<HelperConnection> connection;
  std::shared_ptr<HelperProtocol> tool;
  {
    std::lock_guard lock(state_->mu);
    connection = std::move(state_->connect);
    tool = std::move(state_->tool);
    state_->toolConnection = nullptr;
  }
}

std::shared_ptr<HelperConnection> PrivilegeHelper::helpConnect() const {
  std::lock_guard lock(state_->mu);
  return state_->connect;
}

std::shared_ptr<HelperProtocol> PrivilegeHelper::helpTool() const {
  std::lock_guard lock(state_->mu);
  return state_->tool;
}

bool PrivilegeHelper::inProcess() const {
  std::lock_guard lock(state_->mu);
  return state_->inProcess.value_or(::geteuid() == 0);
}

void PrivilegeHelper::setInProcess(std::optional<bool> inProcess) {
  std::lock_guard lock(state_->mu);
  state_->inProcess = inProcess;
}

void PrivilegeHelper::setBlessingMechanism(std::shared_ptr<BlessingMechanism> mechanism) {
  std::lock_guard lock(state_->mu);
  state_->mechanism = std::move(mechanism);
}

std::shared_ptr<BlessingMechanism> PrivilegeHelper::blessingMechanism() const {
  return state_->currentMechanism();
}

void ClosePrivilegeTool::CloseHelper() { PrivilegeHelper::shard().closeHelper(); }

}  // namespace orvexa
