#include "app.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "command_registry.h"
#include "orvexa/clean/clean_service.h"
#include "orvexa/platform/identity.h"
#include "orvexa/units/log_service.h"
#include "output.h"

namespace orvexa::cli {
namespace {

constexpr const char* kFeatureHelp =
    "Scan commands find their feature by the \"type\" text of its module in the catalogue "
    "(shown in their help); --feature N picks the feature whose finderID is N instead.";

void addCommonOptions(CLI::App& app, CommonOptions& o) {
  app.add_option("--module-file", o.moduleFile,
                 "Load this module description file instead of the built-in catalogue")
      ->check(CLI::ExistingFile);
  app.add_option("--root", o.root,
                 "Resolve every system location under DIR (a sandbox laid out like the "
                 "--layout system)")
      ->check(CLI::ExistingDirectory)
      ->type_name("DIR");
  app.add_option("--layout", o.layout,
                 "Where the user and system folders are: macos or linux (default: this "
                 "system's)")
      ->check(CLI::IsMember({"macos", "linux"}))
      ->type_name("macos|linux");
  app.add_option("--tool", o.tools,
                 "Run PATH in place of the tool NAME (mdfind, mdls, launchctl, tccutil, killall, "
                 "dd; on Linux also sync, resolvectl, systemctl); repeatable")
      ->type_name("NAME=PATH");
  app.add_flag("--quiet", o.quiet, "No progress output");
  app.add_flag("--json", o.json, "Print one JSON document on standard output");
  app.add_option("--feature", o.feature, "Use the feature with this finderID")
      ->type_name("N")
      ->check(CLI::Range(0, std::numeric_limits<int>::max()));
}

void addCleanOptions(CLI::App& sub, CleanOptions& o) {
  sub.add_flag("--clean", o.enabled,
               "Delete what the scan found: the records --select names (some commands "
               "need it; without it, everything a group does not have to keep)");
  sub.add_option("--select", o.select,
                 "With --clean: only the records whose path matches GLOB (fnmatch); repeatable")
      ->type_name("GLOB");
  sub.add_flag("--yes", o.yes, "With --clean: do not ask before deleting");
  sub.add_flag("--final", o.final,
               "With --clean: remove for good, even what would be moved to the trash");
  sub.add_flag("--undoable", o.undoable,
               "With --clean: move every item to the trash of its volume (orvexa undo puts it "
               "back)");
}

// T, or the value type of std::optional<T>.
template <typename T>
struct OptionalValue {
  using type = T;
};
template <typename T>
struct OptionalValue<std::optional<T>> {
  using type = T;
};

void addOption(CLI::App& sub, const OptionSpec& option) {
  CLI::Option* opt = std::visit(
      [&](auto* target) -> CLI::Option* {
        using T = std::remove_pointer_t<decltype(target)>;
        if constexpr (std::is_same_v<T, bool>) {
          return sub.add_flag(option.name, *target, option.help);
        } else {
          CLI::Option* added = sub.add_option(option.name, *target, option.help);
          // A number declared without bounds still never goes negative or
          // past its type (OptionSpec::number gives the real bounds).
          using N = typename OptionalValue<T>::type;
          if constexpr (std::is_arithmetic_v<N>) {
            if (!option.range) added->check(CLI::Range(N{0}, std::numeric_limits<N>::max()));
          }
          return added;
        }
      },
      option.target);
  if (!option.typeName.empty()) opt->type_name(option.typeName);
  if (option.isRequired) opt->required();
  if (!option.choices.empty()) opt->check(CLI::IsMember(option.choices));
  if (option.range) opt->check(CLI::Range(option.range->first, option.range->second));
}

// Standard output failed: says so and gives the exit status, 74 (EX_IOERR).
int outputFailed(const std::string& why) {
  printError("cannot write to standard output: " + why);
  return 74;
}

}  // namespace

int run(int argc, char** argv) {
  // The program is a host without a bundle of its own: give it an identity so
  // its log has a folder of its own.
  if (Identity::shared().bundleIdentifier().empty()) {
    Identity::shared().setBundleIdentifier("org.orvexa.cli");
  }
  CLI::App app{"orvexa: disk cleaning and system maintenance engine, from the command line"};
  app.footer(kFeatureHelp);
  app.require_subcommand(1);
  CommonOptions options;
  addCommonOptions(app, options);
  std::function<int()> command;

  for (const CommandSpec& entry : registeredCommands()) {
    CLI::App* sub = app.add_subcommand(entry.name, entry.help);
    sub->fallthrough();
    for (const OptionSpec& option : entry.options) addOption(*sub, option);
    if (entry.acceptsClean) addCleanOptions(*sub, options.clean);
    sub->callback([&command, &options, &entry] {
      CleanService::setUndoLabel(entry.name);
      command = [&options, &entry] { return entry.run(options); };
    });
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version are not errors; every usage error is status 2, with
    // the reason in words.
    if (e.get_exit_code() == 0) return app.exit(e);
    printError(std::string(e.what()) + " (see --help)");
    // The parse may have stopped before --json: look for it.
    const bool json = std::any_of(argv + 1, argv + argc,
                                  [](const char* a) { return std::string_view(a) == "--json"; });
    if (json) printErrorDocument(2);
    return 2;
  }
  if (!applyCommonOptions(options)) {
    if (options.json) printErrorDocument(2);
    return 2;
  }
  if (!options.clean.enabled && (options.clean.yes || !options.clean.select.empty())) {
    printError("--select and --yes go with --clean");
    if (options.json) printErrorDocument(2);
    return 2;
  }
  if (!options.clean.enabled && (options.clean.final || options.clean.undoable)) {
    printError("--final and --undoable go with --clean");
    if (options.json) printErrorDocument(2);
    return 2;
  }
  if (options.clean.final && options.clean.undoable) {
    printError("--final and --undoable exclude each other");
    if (options.json) printErrorDocument(2);
    return 2;
  }
  CleanService::setDisposal(options.clean.final      ? CleanDisposal::Final
                            : options.clean.undoable ? CleanDisposal::Undoable
                                                     : CleanDisposal::ByType);
  int rc = 2;
  try {
    if (command) rc = command();
    if (options.json) printErrorDocument(rc);
    flushOutput();
  } catch (const OutputError& e) {
    rc = outputFailed(e.what());
  } catch (const std::system_error& e) {
    // fmt::print reports a failed write on stdout this way.
    if (std::ferror(stdout) == 0) throw;
    rc = outputFailed(e.code().message());
  }
  LogService::shard().flush();
  return rc;
}

}  // namespace orvexa::cli
