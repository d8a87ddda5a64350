// orvexa: the command-line front end of the engine library.
#include "app.h"

int main(int argc, char** argv) { return orvexa::cli::run(argc, argv); }
