#include "command_registry.h"

namespace orvexa::cli {
namespace {

std::vector<CommandSpec>& registry() {
  static std::vector<CommandSpec> commands;
  return commands;
}

}  // namespace

CommandRegistrar::CommandRegistrar(CommandSpec command) {
  registry().push_back(std::move(command));
}

const std::vector<CommandSpec>& registeredCommands() { return registry(); }

}  // namespace orvexa::cli
