// The command line of every program: none is taken but --help and --version.
#pragma once

// Returns when there are no arguments. `--help` prints the usage line and `summary` (what the
// program does), `--version` the program's name and version; each then ends the process with
// status 0, or 1 and one line on standard error when standard output fails. Anything else is a
// mistake that must not start the program: the usage line on standard error, status 2.
void take_no_arguments(int argc, char** argv, const char* summary);
