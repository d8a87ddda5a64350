#include "app.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>

#include "commands.h"
#include "orvexa/units/log_service.h"

namespace orvexa::cli {
namespace {

constexpr const char* kFeatureHelp =
    "Scan commands find their feature by the \"type\" text of its module in the catalogue "
    "(shown in their help); --feature N picks the feature whose finderID is N instead.";

void addCommonOptions(CLI::App& app, CommonOptions& o) {
  app.add_option("--module-file", o.moduleFile, "Load this module description file instead of "
                                                "the built-in catalogue")
      ->check(CLI::ExistingFile);
  app.add_option("--root", o.root, "Resolve every system location under DIR (a sandbox laid "
                                   "out like a macOS system)")
      ->check(CLI::ExistingDirectory)
      ->type_name("DIR");
  app.add_option("--tool", o.tools, "Run PATH in place of the tool NAME (mdfind, mdls, "
                                    "launchctl, tccutil, killall, dd); repeatable")
      ->type_name("NAME=PATH");
  app.add_flag("--quiet", o.quiet, "No progress output");
  app.add_flag("--json", o.json, "Print one JSON document on standard output");
  app.add_option("--feature", o.feature, "Use the feature with this finderID")->type_name("N");
}

}  // namespace

int run(int argc, char** argv) {
  CLI::App app{"orvexa: disk cleaning and system maintenance engine, from the command line"};
  app.footer(kFeatureHelp);
  app.require_subcommand(1);
  CommonOptions options;
  addCommonOptions(app, options);
  std::function<int()> command;

  CLI::App* catalogue = app.add_subcommand("catalogue", "Print the modules, features and "
                                                        "categories of the catalogue");
  catalogue->fallthrough();
  catalogue->callback([&] { command = [&] { return runCatalogue(options); }; });

  struct JunkCommand {
    const char* name;
    JunkScan scan;
    const char* help;
  };
  const JunkCommand junkCommands[] = {
      {"junk", JunkScan::system, "Caches, logs and other system junk"},
      {"trash", JunkScan::trash, "The user's trash and the trash folders of other volumes"},
      {"mail", JunkScan::mail, "Attachments kept in the mail store"},
      {"backups", JunkScan::backups, "Backups of mobile devices"},
      {"photos", JunkScan::photos, "Regenerable caches of the photo library"},
  };
  for (const JunkCommand& j : junkCommands) {
    CLI::App* sub = app.add_subcommand(
        j.name, std::string(j.help) + " (module type \"" + junkModuleType(j.scan) + "\")");
    sub->fallthrough();
    JunkScan scan = j.scan;
    sub->callback([&, scan] { command = [&, scan] { return runJunkScan(options, scan); }; });
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  if (!applyCommonOptions(options)) return 2;
  int rc = command ? command() : 2;
  LogService::shard().flush();
  std::fflush(stdout);
  return rc;
}

}  // namespace orvexa::cli
