// Parses the command line and runs one command. Every command accepts the
// common options (--module-file, --root, --tool, --quiet, --json, --feature).
#pragma once

namespace orvexa::cli {

int run(int argc, char** argv);

}  // namespace orvexa::cli
