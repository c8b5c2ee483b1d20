// Arguments: none is taken but --help and --version, and a mistaken one starts nothing.
#include <string>

#include "harness.h"

namespace {

struct program_case {
  const char* name;
  const char* path;
};

const program_case PROGRAMS[] = {
    {"tally", TALLY_BIN}, {"glyphs", GLYPHS_BIN}, {"mirror", MIRROR_BIN},
    {"sink", SINK_BIN},   {"drain", DRAIN_BIN},   {"client", CLIENT_BIN},
};

class Arguments : public ProgramTest, public ::testing::WithParamInterface<program_case> {
 protected:
  struct outcome {
    int status;
    std::string output;
    std::string error;
  };

  outcome run(spawn_options options) {
    options.stdin_data = "2 + 3\n";  // what client would send, if it wrongly connected
    const child_process child = start(GetParam().path, options);
    const int status = exit_code(child);
    return {status, read_file(child.stdout_path), read_file(child.stderr_path)};
  }
};

// Each row fails on a program that ignores its arguments: a server would run on (no status by
// the deadline), the client would connect and print its connect failure.
TEST_P(Arguments, AreAnsweredWithoutStartingAnything) {
  const std::string name = GetParam().name;
  const std::string usage = "usage: " + name + " [--help | --version]\n";

  const outcome help = run({.arguments = {"--help"}});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output.substr(0, usage.size()), usage);
  EXPECT_GT(help.output.size(), usage.size() + 20) << "no word on what it does";
  EXPECT_EQ(help.error, "");

  const outcome version = run({.arguments = {"--version"}});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, name + " (portkit) " PORTKIT_VERSION "\n");

  for (const auto& wrong : std::vector<std::vector<std::string>>{{"-h"}, {"--help", "x"}}) {
    const outcome mistaken = run({.arguments = wrong});
    EXPECT_EQ(mistaken.status, 2) << wrong.back();
    EXPECT_EQ(mistaken.output, "") << wrong.back();
    EXPECT_EQ(mistaken.error, name + ": unexpected argument '" + wrong.back() + "'\n" + usage);
  }

  const outcome lost = run({.stdout_path = "/dev/full", .arguments = {"--help"}});
  EXPECT_EQ(lost.status, 1);
  EXPECT_EQ(lost.error, name + ": standard output: No space left on device\n");
  EXPECT_FALSE(port_listening());
}

INSTANTIATE_TEST_SUITE_P(EveryProgram, Arguments, ::testing::ValuesIn(PROGRAMS), CASE_NAME);

}  // namespace
