// Commands describe themselves here and register at start-up; app.cc turns
// the descriptions into the parser, so command files stay free of the
// parser's heavy headers.
//
//   namespace {
//   std::vector<std::string> paths;
//   const CommandRegistrar kDuplicates({
//       "duplicates", "Identical files and folders (module type \"Duplicate\")",
//       {OptionSpec::positional("PATH", "Folders to compare", &paths, true),
//        OptionSpec::number("--min-size", "KIB", "Smallest file, in KiB", &minSize, 0,
//                           kMaxKiB)},
//       [](const CommonOptions& o) { return runDuplicates(o); }});
//   }
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "context.h"

namespace orvexa::cli {

struct OptionSpec {
  using Target =
      std::variant<bool*, int*, int64_t*, double*, std::string*, std::vector<std::string>*,
                   std::optional<int>*, std::optional<int64_t>*, std::optional<double>*>;

  std::string name;      // "--top" or, for positionals, "PATH"
  std::string typeName;  // shown in help ("N", "FILE"); empty for flags
  std::string help;
  Target target;
  bool isPositional = false;
  bool isRequired = false;
  std::vector<std::string> choices;  // allowed values of a text option, if limited
  // Inclusive bounds of a numeric option: a value outside them (or one that
  // is no whole number) is a usage error, exit status 2, never wrapped.
  std::optional<std::pair<int64_t, int64_t>> range;

  static OptionSpec flag(std::string name, std::string help, bool* target) {
    return {std::move(name), "", std::move(help), target, false, false, {}, {}};
  }
  static OptionSpec option(std::string name, std::string typeName, std::string help, Target target,
                           std::vector<std::string> choices = {}) {
    return {std::move(name),
            std::move(typeName),
            std::move(help),
            target,
            false,
            false,
            std::move(choices),
            {}};
  }
  // A whole-number option with inclusive bounds; every numeric option is
  // declared so.
  static OptionSpec number(std::string name, std::string typeName, std::string help, Target target,
                           int64_t min, int64_t max) {
    OptionSpec made = option(std::move(name), std::move(typeName), std::move(help), target);
    made.range = std::pair{min, max};
    return made;
  }
  static OptionSpec positional(std::string name, std::string help, std::vector<std::string>* target,
                               bool required) {
    return {name, name, std::move(help), target, true, required, {}, {}};
  }
};

struct CommandSpec {
  std::string name;
  std::string help;
  std::vector<OptionSpec> options;
  std::function<int(const CommonOptions&)> run;
  // The command takes --clean [--select GLOB] [--yes] (CommonOptions::clean)
  // and calls cleanFeature (clean_feature.h) after its scan.
  bool acceptsClean = false;
};

// Registers a command; declare one as a namespace-scope object in the
// command's source file.
class CommandRegistrar {
 public:
  explicit CommandRegistrar(CommandSpec command);
};

// Every registered command, in registration order.
const std::vector<CommandSpec>& registeredCommands();

}  // namespace orvexa::cli
