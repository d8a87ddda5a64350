// orvexa optimize free-ram | purgeable | speed-up-mail | flush-dns |
// rebuild-spotlight: the one-click optimisation tasks. In the Linux layout
// only free-ram (sync and drop_caches through the helper) and flush-dns
// (resolvectl) have a counterpart; the others are refused in words.
#include <fmt/core.h>

#include <future>
#include <limits>
#include <nlohmann/json.hpp>

#include "command_registry.h"
#include "orvexa/helper/privilege_helper.h"
#include "orvexa/platform/paths.h"
#include "orvexa/toolkits/free_up_ram_service.h"
#include "orvexa/toolkits/optimization_service.h"
#include "output.h"

namespace orvexa::cli {
namespace {

const std::vector<std::string> kTasks = {"free-ram", "purgeable", "speed-up-mail", "flush-dns",
                                         "rebuild-spotlight"};

std::vector<std::string> taskArgument;
// The most MiB whose byte count fits a signed 64-bit number.
constexpr int64_t kMaxMiB = std::numeric_limits<int64_t>::max() >> 20;
std::optional<int64_t> maxRamMiB;
std::optional<int64_t> reserveMiB;

struct TaskResult {
  bool ok = false;
  std::string message;
  std::optional<double> freed;  // free-ram only
};

TaskResult freeRam() {
  if (maxRamMiB) FreeUpRamService::setMaximumBlockSize(static_cast<uint64_t>(*maxRamMiB) << 20);
  auto answer = std::make_shared<std::promise<TaskResult>>();
  std::future<TaskResult> result = answer->get_future();
  OptimizationService::freeUpRam([answer](bool ok, float freed, std::optional<std::string> text) {
    answer->set_value({ok, text.value_or(""), static_cast<double>(freed)});
  });
  return result.get();
}

TaskResult purgeable() {
  if (reserveMiB) OptimizationService::setPurgeableReserve(*reserveMiB << 20);
  auto answer = std::make_shared<std::promise<TaskResult>>();
  std::future<TaskResult> result = answer->get_future();
  OptimizationService::cleanPurgeable([answer](bool ok, std::optional<std::string> text) {
    answer->set_value({ok, text.value_or(""), std::nullopt});
  });
  return result.get();
}

TaskResult throughHelper(void (*task)(OptimizationService::HelperFinish)) {
  auto answer = std::make_shared<std::promise<TaskResult>>();
  std::future<TaskResult> result = answer->get_future();
  task([answer](bool ok, std::string text) {
    answer->set_value({ok, std::move(text), std::nullopt});
  });
  return result.get();
}

std::string taskTitle(const std::string& task) {
  if (task == "free-ram") return "Free Up RAM";
  if (task == "purgeable") return "Free Up Purgeable Space";
  if (task == "speed-up-mail") return "Speed Up Mail";
  if (task == "flush-dns") return "Clean DNS Cache";
  return "Rebuild Spotlight Index";
}

std::string signedSize(double bytes) {
  const auto whole = static_cast<int64_t>(bytes);
  return whole < 0 ? "-" + humanSize(-whole) : humanSize(whole);
}

int runOptimize(const CommonOptions& options) {
  if (taskArgument.size() != 1 ||
      std::find(kTasks.begin(), kTasks.end(), taskArgument.front()) == kTasks.end()) {
    printError("name one task: free-ram, purgeable, speed-up-mail, flush-dns or rebuild-spotlight");
    return 2;
  }
  const std::string& task = taskArgument.front();
  if (Paths::shared().layout() == Layout::Linux && task != "free-ram" && task != "flush-dns") {
    printError("\"" + task +
               "\" has no counterpart on Linux; the tasks there are free-ram and flush-dns");
    return 2;
  }
  TaskResult result;
  if (task == "free-ram") {
    result = freeRam();
  } else if (task == "purgeable") {
    result = purgeable();
  } else if (task == "speed-up-mail") {
    auto [ok, text] = OptimizationService::speedUpMail();
    result = {ok, text, std::nullopt};
  } else if (task == "flush-dns") {
    result = throughHelper(&OptimizationService::cleanDNS);
  } else {
    result = throughHelper(&OptimizationService::rebuildSpotlight);
  }

  if (options.json) {
    nlohmann::json document{{"task", task}, {"success", result.ok}, {"message", result.message}};
    if (result.freed) document["freed"] = static_cast<int64_t>(*result.freed);
    printJson(document);
  } else if (result.ok && task == "purgeable" && !result.message.empty()) {
    fmt::print("{}: {}\n", taskTitle(task), result.message);  // skipped, and why
  } else if (result.ok) {
    fmt::print("{}: done", taskTitle(task));
    if (result.freed) {
      fmt::print(", freed {} ({} bytes)", signedSize(*result.freed),
                 static_cast<int64_t>(*result.freed));
    }
    fmt::print("\n");
  } else {
    fmt::print("{}: failed: {}\n", taskTitle(task), result.message);
  }
  if (!result.ok && result.message == OptimizationService::kPrivilegeInstallFail) {
    // The service's text does not say why; the helper's does.
    std::optional<std::string> why =
        PrivilegeHelper::shard()
            .getHelperTool(PrivilegeHelper::helperName(), kSMDomainSystemLaunchd)
            .second;
    if (why) printError(*why);
  }
  return result.ok ? 0 : 1;
}

const CommandRegistrar kOptimize(
    {"optimize",
     "One-click optimisation tasks: free-ram, purgeable, speed-up-mail, flush-dns, "
     "rebuild-spotlight",
     {OptionSpec::positional("TASK", "The task to run", &taskArgument, true),
      OptionSpec::number("--max-ram", "MIB",
                         "free-ram: fill at most this much memory (default: what the kernel "
                         "reports available, less 512 MiB)",
                         &maxRamMiB, 1, kMaxMiB),
      OptionSpec::number("--reserve", "MIB",
                         "purgeable: leave this much free space on the disk (default 2048)",
                         &reserveMiB, 0, kMaxMiB)},
     [](const CommonOptions& o) { return runOptimize(o); }});

}  // namespace
}  // namespace orvexa::cli
