// The standard descriptors of a program that opens sockets.
#pragma once

#include <cstddef>

// For claim_standard_descriptors: the program's job is printing.
inline constexpr bool OUTPUT_NEEDED = true;

// Gives /dev/null to every closed standard descriptor (0, 1, 2) before any socket is opened, so
// that no socket takes one of their numbers and what is meant for the terminal never reaches a
// peer. For a program that needs its output, a closed standard output is a set-up failure: status
// 1 and one line on standard error, as is a descriptor that cannot be given /dev/null.
void claim_standard_descriptors(bool output_needed);

// Writes all `count` bytes to standard output at once. For the programs whose job is printing, a
// write that fails loses output: it ends the process with status 1 and one line on standard error
// (`sink: standard output: Broken pipe`). The connection `lost_from`, when given, is reset on the
// way out, so that the peer whose bytes were lost sees it rather than a clean end. `fail`, when
// given, ends the process instead, given "standard output" and the error: a server tells its
// service manager as well.
using failure_report = void (*)(const char* what, int error);
void print_or_exit(const char* bytes, std::size_t count, int lost_from = -1,
                   failure_report fail = nullptr);
