// Every program under valgrind for a short real session: no memory errors, no leaks.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

namespace {

// valgrind runs a program many times slower, and more so on a loaded machine.
constexpr milliseconds VALGRIND_DEADLINE = 180s;

using namespace std::string_literals;

const std::vector<std::string> VALGRIND = {"valgrind", "--error-exitcode=1", "--leak-check=full",
                                           "--errors-for-leak-kinds=all", "--log-fd=2"};

struct session_case {
  const char* name;
  const char* program;
  std::vector<std::string> requests;
  std::size_t answer_size;  // bytes that come back for each request
};

const session_case SESSIONS[] = {
    {"tally", TALLY_BIN, {"2 + 3\n", "-1+6", "9 + -4", "\t0+5"}, 13},
    {"glyphs", GLYPHS_BIN, {"a", "0123456789", "\xFF"}, 1000},
    {"mirror", MIRROR_BIN, {"abc", "\0\xFF\x80"s, "0123456789"}, 3},
    {"sink", SINK_BIN, {"abc", "\0\xFF"s}, 0},
    {"drain", DRAIN_BIN, {"def", "\n"}, 0},
};

void PrintTo(const session_case& entry, std::ostream* out) {
  *out << entry.name;
}

// What valgrind says of a clean run, whatever ended it.
void expect_clean_report(const std::string& report) {
  EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
  EXPECT_NE(report.find("in use at exit: 0 bytes"), std::string::npos) << report;
}

class UnderValgrind : public ProgramTest, public ::testing::WithParamInterface<session_case> {};

TEST_P(UnderValgrind, ServerSessionIsClean) {
  spawn_options options;
  options.prefix = VALGRIND;
  const child_process server = start_server(GetParam().program, options);
  for (int connection = 0; connection < 2; ++connection) {
    const int fd = connect_service_port();
    ASSERT_GE(fd, 0);
    for (const std::string& request : GetParam().requests) {
      send_bytes(fd, request);
      if (GetParam().answer_size > 0) {
        ASSERT_EQ(read_exact(fd, GetParam().answer_size).size(), GetParam().answer_size);
      }
    }
    if (connection == 0) {
      close_with_reset(fd);
    } else {
      close(fd);
    }
  }
  kill(server.pid, SIGTERM);  // servers end only when killed; valgrind reports on the way out
  ASSERT_NE(wait_exit(server, VALGRIND_DEADLINE), -1);
  expect_clean_report(read_file(server.stderr_path));
}

INSTANTIATE_TEST_SUITE_P(Programs, UnderValgrind, ::testing::ValuesIn(SESSIONS), CASE_NAME);

class ClientUnderValgrind : public UnderValgrind {};

TEST_F(ClientUnderValgrind, SessionWithTallyIsClean) {
  start_server(TALLY_BIN);
  spawn_options options;
  options.prefix = VALGRIND;
  options.stdin_data = "2 + 3\n1+1\n\0skipped\n"s + std::string(300, '7') + "\nlast";
  const child_process client = start(CLIENT_BIN, options);
  EXPECT_EQ(exit_code(client, VALGRIND_DEADLINE), 0) << read_file(client.stderr_path);
  expect_clean_report(read_file(client.stderr_path));
}

TEST_F(ClientUnderValgrind, SessionWithoutServerIsClean) {
  spawn_options options;
  options.prefix = VALGRIND;
  options.stdin_data = "1+1\n";
  const child_process client = start(CLIENT_BIN, options);
  EXPECT_EQ(exit_code(client, VALGRIND_DEADLINE), 1);
  EXPECT_EQ(read_file(client.stdout_path), "\n Error : Connect Failed \n");
  expect_clean_report(read_file(client.stderr_path));
}

}  // namespace
