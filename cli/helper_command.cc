// orvexa helper install | status | stop | uninstall: the privileged helper
// that deletes what the user's own rights do not reach.
#include <fmt/core.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <future>
#include <limits>
#include <string>
#include <vector>

#include "command_registry.h"
#include "orvexa/helper/helper_connection.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"
#include "orvexa/platform/user_defaults.h"
#include "output.h"

namespace orvexa::cli {
namespace {

constexpr auto kAnswerLimit = std::chrono::seconds(10);

std::vector<std::string> actions;
std::string programOption;
std::optional<int64_t> userOption;

// What the action found, printed by runHelper as text lines or, with
// --json, as one document holding the same facts.
struct Reply {
  nlohmann::json facts = nlohmann::json::object();
  std::vector<std::string> lines;
  std::string error;
};
Reply reply;

void say(std::string line) { reply.lines.push_back(std::move(line)); }

// Errors go to standard error either way, and into the document.
int fail(const std::string& message, int code = 1) {
  printError(message);
  reply.error = message;
  return code;
}

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
    return fail("installing the helper needs root rights: run \"sudo orvexa helper install\"");
  }
  auto installer = std::make_shared<LaunchDaemonInstaller>(programOption);
  if (userOption) {
    if (*userOption < 0 || *userOption > 0xFFFFFFFELL) {
      return fail("--user takes a numeric user id", 2);
    }
    installer->setAllowedUserId(static_cast<uid_t>(*userOption));
  }
  PrivilegeHelper::shard().setBlessingMechanism(installer);
  PrivilegeInstallResult result =
      PrivilegeHelper::shard().installPrivilege(kSMDomainSystemLaunchd, label);
  if (!result.content().empty()) {
    return fail("could not install the helper: " + result.content() + " (the log says more)");
  }
  std::optional<PlistValue> plist = readPlistFile(helperLaunchDaemonPlistPath(label));
  int64_t allowed = -1;
  if (plist) {
    if (const PlistValue* uid = plist->find("AllowedUserID"))
      allowed = uid->asInteger().value_or(-1);
  }
  say(fmt::format("Installed {}: program {}, service {}, socket {}, serving root and user id {}.",
                  label, helperToolPath(label), helperServiceUnitPath(label),
                  helperSocketPath(label), allowed));
  reply.facts = {{"installed", true},
                 {"program", helperToolPath(label)},
                 {"service", helperServiceUnitPath(label)},
                 {"socket", helperSocketPath(label)},
                 {"allowedUserID", allowed}};
  return 0;
}

int status(const std::string& label) {
  const bool installed =
      fileExists(helperToolPath(label)) && fileExists(helperLaunchDaemonPlistPath(label));
  say(fmt::format("Helper {}: {}", label,
                  installed ? "installed at " + helperToolPath(label) : "not installed"));
  reply.facts = {{"installed", installed},
                 {"program", helperToolPath(label)},
                 {"socket", helperSocketPath(label)},
                 {"running", false}};
  std::optional<std::string> version = runningVersion(label);
  if (version && version->rfind("Refused:", 0) == 0) {
    // A refusal comes in place of the version.
    say(fmt::format("Running at {}, but not for this user: {}", helperSocketPath(label), *version));
    reply.facts["running"] = true;
    reply.facts["refused"] = *version;
  } else if (version) {
    say(fmt::format("Running, version {}, at {}", *version, helperSocketPath(label)));
    reply.facts["running"] = true;
    reply.facts["version"] = *version;
  } else {
    say("Not running");
  }
  return 0;
}

int stop(const std::string& label) {
  std::shared_ptr<HelperConnection> connection = HelperConnection::connect(helperSocketPath(label));
  reply.facts = {{"running", connection != nullptr}, {"stopped", false}};
  if (!connection) {
    say("The helper is not running.");
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
    return fail("the helper did not confirm that it stopped within " +
                std::to_string(kAnswerLimit.count()) + " seconds; it may still be working");
  }
  auto [ok, said] = done.get();
  if (!ok) {
    // A refused user is told why.
    return fail("the helper did not stop" + (said.empty() ? std::string() : ": " + said));
  }
  say(said.empty() ? std::string("Stopped.") : said);
  reply.facts["stopped"] = true;
  return 0;
}

int uninstall(const std::string& label) {
  std::vector<std::string> files = {helperToolPath(label), helperLaunchDaemonPlistPath(label)};
  // In the Linux layout the systemd unit and the socket file go too; the
  // unit is disabled first, so that systemd does not start the helper again.
  const bool linux = Paths::shared().layout() == Layout::Linux;
  if (linux) {
    files.push_back(helperServiceUnitPath(label));
    files.push_back(helperSocketPath(label));
    bool anything = false;
    for (const std::string& file : files) anything = anything || fileExists(file);
    if (anything && helperRunsUnderSystemd()) {
      if (::geteuid() != 0) {
        return fail(
            "disabling the helper's service needs root rights: run \"sudo orvexa helper "
            "uninstall\"");
      }
      if (std::string failure = disableHelperService(label); !failure.empty()) {
        return fail("could not disable the helper's service: " + failure);
      }
    }
  }
  std::shared_ptr<HelperConnection> connection = HelperConnection::connect(helperSocketPath(label));
  if (connection) {
    auto answer = std::make_shared<std::promise<std::pair<bool, std::string>>>();
    auto done = answer->get_future();
    connection->remoteObjectProxyWithErrorHandler(nullptr)->uninstall(
        [answer](bool ok, std::string message) {
          answer->set_value({ok, std::move(message)});
        });
    if (done.wait_for(kAnswerLimit) != std::future_status::ready) {
      return fail("the helper did not answer");
    }
    auto [ok, message] = done.get();
    if (!ok) {
      return fail("the helper could not uninstall itself: " + message);
    }
    if (linux) {
      // What the helper does not remove itself: its unit and, should it
      // have ended without tidying, its socket.
      for (size_t i = 2; i < files.size(); ++i) {
        if (fileExists(files[i])) (void)removeItem(files[i]);
      }
    }
  } else {
    bool anything = false;
    for (const std::string& file : files) anything = anything || fileExists(file);
    if (!anything) {
      say("The helper is not installed.");
      reply.facts = {{"uninstalled", false}};
      return 0;
    }
    if (::geteuid() != 0) {
      return fail("the helper is not running: removing its files needs root rights");
    }
    for (const std::string& file : files) {
      if (!fileExists(file)) continue;
      FileStatus removed = removeItem(file);
      if (!removed.ok()) return fail(removed.message());
    }
  }
  if (std::string failure = reloadHelperServices(); !failure.empty()) {
    return fail("the helper's files are removed, but " + failure);
  }
  (void)UserDefaults::standard().remove(label + "-Install");
  say(fmt::format("Uninstalled {}.", label));
  reply.facts = {{"uninstalled", true}};
  return 0;
}

int runAction(const std::string& action, const std::string& label) {
  if (action == "install") return install(label);
  if (action == "status") return status(label);
  if (action == "stop") return stop(label);
  if (action == "uninstall") return uninstall(label);
  return fail("unknown action \"" + action + "\": install, status, stop or uninstall", 2);
}

int runHelper(const CommonOptions& options) {
  if (actions.size() != 1) {
    printError("orvexa helper takes one of install, status, stop, uninstall");
    return 2;
  }
  const std::string label = PrivilegeHelper::helperName();
  const int code = runAction(actions.front(), label);
  if (options.json) {
    nlohmann::json document = reply.facts;
    document["action"] = actions.front();
    document["helper"] = label;
    document["success"] = code == 0;
    nlohmann::json lines = nlohmann::json::array();
    for (const std::string& line : reply.lines) lines.push_back(line);
    document["messages"] = std::move(lines);
    if (!reply.error.empty()) document["error"] = reply.error;
    printJson(document);
  } else {
    for (const std::string& line : reply.lines) fmt::print("{}\n", line);
  }
  return code;
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
