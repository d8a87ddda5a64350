// orvexa helper install | status | stop | uninstall: the privileged helper
// that deletes what the user's own rights do not reach.
#include <fmt/core.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <limits>
#include <string>
#include <vector>

#include "command_registry.h"
#include "orvexa/helper/helper_connection.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/plist.h"
#include "orvexa/platform/user_defaults.h"

namespace orvexa::cli {
namespace {

constexpr auto kAnswerLimit = std::chrono::seconds(10);

std::vector<std::string> actions;
std::string programOption;
std::optional<int64_t> userOption;

// The running helper's version, or nothing when none answers.
std::optional<std::string> runningVersion(const std::string& label) {
  std::shared_ptr<HelperConnection> connection = HelperConnection::connect(helperSocketPath(label));
  if (!connection) return std::nullopt;
  auto answer = std::make_shared<std::promise<std::string>>();
  std::future<std::string> version = answer->get_future();
  connection->remoteObjectProxyWithErrorHandler(nullptr)->getHelperVersion(
      [answer](std::string text) { answer->set_value(std::move(text)); });
  if (version.wait_for(kAnswerLimit) != std::future_status::ready) return std::nullopt;
  std::string text = version.get();
  if (text.empty()) return std::nullopt;
  return text;
}

int install(const std::string& label) {
  if (::geteuid() != 0) {
    printError("installing the helper needs root rights: run \"sudo orvexa helper install\"");
    return 1;
  }
  auto installer = std::make_shared<LaunchDaemonInstaller>(programOption);
  if (userOption) {
    if (*userOption < 0 || *userOption > 0xFFFFFFFELL) {
      printError("--user takes a numeric user id");
      return 2;
    }
    installer->setAllowedUserId(static_cast<uid_t>(*userOption));
  }
  PrivilegeHelper::shard().setBlessingMechanism(installer);
  PrivilegeInstallResult result =
      PrivilegeHelper::shard().installPrivilege(kSMDomainSystemLaunchd, label);
  if (!result.content().empty()) {
    printError("could not install the helper: " + result.content() + " (the log says more)");
    return 1;
  }
  std::optional<PlistValue> plist = readPlistFile(helperLaunchDaemonPlistPath(label));
  int64_t allowed = -1;
  if (plist) {
    if (const PlistValue* uid = plist->find("AllowedUserID"))
      allowed = uid->asInteger().value_or(-1);
  }
  fmt::print("Installed {}: program {}, socket {}, serving root and user id {}.\n", label,
             helperToolPath(label), helperSocketPath(label), allowed);
  return 0;
}

int status(const std::string& label) {
  const bool installed =
      fileExists(helperToolPath(label)) && fileExists(helperLaunchDaemonPlistPath(label));
  fmt::print("Helper {}: {}\n", label,
             installed ? "installed at " + helperToolPath(label) : std::string("not installed"));
  std::optional<std::string> version = runningVersion(label);
  if (version && version->rfind("Refused:", 0) == 0) {
    // A refusal comes in place of the version.
    fmt::print("Running at {}, but not for this user: {}\n", helperSocketPath(label), *version);
  } else if (version) {
    fmt::print("Running, version {}, at {}\n", *version, helperSocketPath(label));
  } else {
    fmt::print("Not running\n");
  }
  return 0;
}

int stop(const std::string& label) {
  std::shared_ptr<HelperConnection> connection = HelperConnection::connect(helperSocketPath(label));
  if (!connection) {
    fmt::print("The helper is not running.\n");
    return 0;
  }
  // The helper answers once the work it was doing has stopped, saying how
  // far it came.
  auto answer = std::make_shared<std::promise<std::pair<bool, std::string>>>();
  auto done = answer->get_future();
  connection->remoteObjectProxyWithErrorHandler(nullptr)->handleEvent(
      raw(HelperHanldeEventID::CloseHelper), PlistValue::dictionary(),
      [answer](bool ok, int, PlistValue information) {
        const PlistValue* desc = information.find(kHelperDeleteDescKey);
        const std::string* text = desc != nullptr ? desc->asString() : nullptr;
        answer->set_value({ok, text != nullptr ? *text : std::string()});
      });
  if (done.wait_for(kAnswerLimit) != std::future_status::ready) {
    printError("the helper did not confirm that it stopped within " +
               std::to_string(kAnswerLimit.count()) + " seconds; it may still be working");
    return 1;
  }
  auto [ok, said] = done.get();
  if (!ok) {
    // A refused user is told why.
    printError("the helper did not stop" + (said.empty() ? std::string() : ": " + said));
    return 1;
  }
  fmt::print("{}\n", said.empty() ? std::string("Stopped.") : said);
  return 0;
}

int uninstall(const std::string& label) {
  const std::vector<std::string> files = {helperToolPath(label),
                                          helperLaunchDaemonPlistPath(label)};
  std::shared_ptr<HelperConnection> connection = HelperConnection::connect(helperSocketPath(label));
  if (connection) {
    auto answer = std::make_shared<std::promise<std::pair<bool, std::string>>>();
    auto done = answer->get_future();
    connection->remoteObjectProxyWithErrorHandler(nullptr)->uninstall(
        [answer](bool ok, std::string message) {
          answer->set_value({ok, std::move(message)});
        });
    if (done.wait_for(kAnswerLimit) != std::future_status::ready) {
      printError("the helper did not answer");
      return 1;
    }
    auto [ok, message] = done.get();
    if (!ok) {
      printError("the helper could not uninstall itself: " + message);
      return 1;
    }
  } else {
    bool anything = false;
    for (const std::string& file : files) anything = anything || fileExists(file);
    if (!anything) {
      fmt::print("The helper is not installed.\n");
      return 0;
    }
    if (::geteuid() != 0) {
      printError("the helper is not running: removing its files needs root rights");
      return 1;
    }
    for (const std::string& file : files) {
      if (!fileExists(file)) continue;
      FileStatus removed = removeItem(file);
      if (!removed.ok()) {
        printError(removed.message());
        return 1;
      }
    }
  }
  (void)UserDefaults::standard().remove(label + "-Install");
  fmt::print("Uninstalled {}.\n", label);
  return 0;
}

int runHelper(const CommonOptions&) {
  if (actions.size() != 1) {
    printError("orvexa helper takes one of install, status, stop, uninstall");
    return 2;
  }
  const std::string label = PrivilegeHelper::helperName();
  const std::string& action = actions.front();
  if (action == "install") return install(label);
  if (action == "status") return status(label);
  if (action == "stop") return stop(label);
  if (action == "uninstall") return uninstall(label);
  printError("unknown action \"" + action + "\": install, status, stop or uninstall");
  return 2;
}

const CommandRegistrar kHelper(
    {"helper",
     "Install, inspect, stop or remove the privileged helper that deletes what needs root "
     "rights",
     {OptionSpec::positional("ACTION", "install, status, stop or uninstall", &actions, true),
      OptionSpec::option("--program", "FILE",
                         "install: the helper program (default: orvexa-helper beside orvexa)",
                         &programOption),
      OptionSpec::number("--user", "UID",
                         "install: the user the helper serves besides root (default: the user "
                         "who ran sudo)",
                         &userOption, 0, std::numeric_limits<uint32_t>::max() - 1)},
     [](const CommonOptions& o) { return runHelper(o); }});

}  // namespace
}  // namespace orvexa::cli
