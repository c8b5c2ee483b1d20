#include "command_line.h"

#include <err.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "full_io.h"

namespace {

constexpr int USAGE_STATUS = 2;

// Checked, so that a request for help whose answer was lost does not pass for answered.
[[noreturn]] void print_and_exit(const char* text) {
  if (!write_all(STDOUT_FILENO, text, std::strlen(text))) {
    err(1, "standard output");
  }
  std::exit(0);
}

}  // namespace

void take_no_arguments(int argc, char** argv, const char* summary) {
  if (argc <= 1) {
    return;
  }
  const char* name = program_invocation_short_name;
  char text[512];
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    (void)std::snprintf(text, sizeof text, "usage: %s [--help | --version]\n%s\n", name, summary);
    print_and_exit(text);
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    (void)std::snprintf(text, sizeof text, "%s (portkit) %s\n", name, PORTKIT_VERSION);
    print_and_exit(text);
  }
  // "--help extra": the extra one is the mistake.
  const bool first_known =
      std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "--version") == 0;
  std::fprintf(stderr, "%s: unexpected argument '%s'\nusage: %s [--help | --version]\n", name,
               argv[first_known ? 2 : 1], name);
  std::exit(USAGE_STATUS);
}
