// client against real servers and against none: output and exit status.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

namespace {

using namespace std::string_literals;

struct client_case {
  const char* name;
  std::string input;
  std::string output;
};

const client_case TALLY_SESSIONS[] = {
    // The answer's rest waits in the connection and follows the next line.
    {"split_answer", "2 + 3\nx\n", "Resultado: 5"},
    {"one_line", "2 + 3\n", "Resultad"},
    {"empty_input", "", ""},
    {"empty_line_answered", "\n", "Mal form"},
    {"nul_ends_line", "2\0+3\n"s, "Falta un"},
    {"nul_first_skipped", "\0junk\n1+1\n"s, "Resultad"},
    {"last_line_unterminated", "4+4", "Resultad"},
    {"missing_text", "4 5\n\n\n", "Falta un operando m\xC3\xA1s"},
    // A 300-byte line arrives as a 255-byte piece and a 45-byte piece; each is sent and read.
    {"long_line", std::string(300, ' ') + "\n", "Mal formato"},
};

void PrintTo(const client_case& entry, std::ostream* out) {
  *out << entry.name;
}

class ClientWithTally : public ProgramTest, public ::testing::WithParamInterface<client_case> {};

TEST_P(ClientWithTally, PrintsAtMostEightBytesAfterEachLine) {
  start_server(TALLY_BIN);
  spawn_options options;
  options.stdin_data = GetParam().input;
  const child_process client = start(CLIENT_BIN, options);
  EXPECT_EQ(exit_code(client), 0);
  EXPECT_EQ(read_file(client.stdout_path), GetParam().output);
  EXPECT_EQ(read_file(client.stderr_path), "");
}

INSTANTIATE_TEST_SUITE_P(Sessions, ClientWithTally, ::testing::ValuesIn(TALLY_SESSIONS), CASE_NAME);

TEST_F(ProgramTest, ClientWithoutServerReportsConnectFailure) {
  spawn_options options;
  options.stdin_data = "1+1\n";
  const child_process client = start(CLIENT_BIN, options);
  EXPECT_EQ(exit_code(client), 1);
  EXPECT_EQ(read_file(client.stdout_path), "\n Error : Connect Failed \n");
  EXPECT_EQ(read_file(client.stderr_path), "");
}

// Where the client's standard streams are closed, unwritable or unreadable: status 0 only when all
// input was read and all it printed was written; otherwise status 1 and one line, at once.
struct stream_case {
  const char* name;
  spawn_options options;
  std::string error;   // all of standard error
  std::string output;  // all of standard output, where it goes to the test's file
  int status;
};

const stream_case STREAM_CASES[] = {
    {"output_full",
     {.stdin_data = "2 + 3\n", .stdout_path = "/dev/full"},
     "client: standard output: No space left on device\n",
     "",
     1},
    {"output_reader_gone",
     {.stdin_data = "2 + 3\n", .stdout_unread_pipe = true},
     "client: standard output: Broken pipe\n",
     "",
     1},
    // Found before the connection is made, so the socket cannot become standard output.
    {"output_closed",
     {.stdin_data = "2 + 3\n", .close_stdout = true},
     "client: standard output: Bad file descriptor\n",
     "",
     1},
    // Empty input, not the socket: nothing sent, nothing read, done at once.
    {"input_closed", {.close_stdin = true}, "", "", 0},
    {"input_unreadable", {.stdin_path = "/"}, "client: standard input: Is a directory\n", "", 1},
    // Interrupted once both answers are printed (a pipe stays open): neither is lost.
    {"interrupted", {.stdin_pipe = true}, "", "Resultado: 5", 128 + SIGINT},
};

void PrintTo(const stream_case& entry, std::ostream* out) {
  *out << entry.name;
}

class ClientStreams : public ProgramTest, public ::testing::WithParamInterface<stream_case> {};

TEST_P(ClientStreams, FailedOutputOrInputIsStatusOneAndOneLine) {
  start_server(TALLY_BIN);
  const stream_case& expected = GetParam();
  const child_process client = start(CLIENT_BIN, expected.options);
  if (expected.options.stdin_pipe) {
    send_bytes(client.stdin_fd, "2 + 3\n1 + 1\n");
    EXPECT_TRUE(wait_until([&] { return read_file(client.stdout_path) == expected.output; }))
        << "printed so far: " << read_file(client.stdout_path);
    kill(client.pid, SIGINT);
  }
  EXPECT_EQ(exit_code(client), expected.status);
  EXPECT_EQ(read_file(client.stderr_path), expected.error);
  EXPECT_EQ(read_file(client.stdout_path), expected.output);
}

INSTANTIATE_TEST_SUITE_P(Streams, ClientStreams, ::testing::ValuesIn(STREAM_CASES), CASE_NAME);

// The server dies while the client still has lines and unread answers: the client's next sends
// meet a reset connection. It must end with status 1, never by a signal, never hang.
TEST_F(ProgramTest, ClientEndsWithStatusOneWhenServerIsKilled) {
  const child_process server = start_server(TALLY_BIN);
  spawn_options options;
  options.stdin_pipe = true;
  const child_process client = start(CLIENT_BIN, options);
  // 255 blanks fill the line buffer: 26 answers, of which the client reads only 8 bytes.
  const std::string first_line(255, ' ');
  ASSERT_EQ(write(client.stdin_fd, first_line.data(), first_line.size()),
            static_cast<ssize_t>(first_line.size()));
  const auto unread = [] { return queued_bytes(side::client, queued::unread); };
  ASSERT_TRUE(wait_until([&] { return unread() == 26 * 12 - 8; }))
      << unread() << " unread answer bytes at the client";
  kill(server.pid, SIGKILL);
  ASSERT_NE(wait_exit(server), -1);
  const std::string line = "1+1\n";
  for (int round = 0; round < 100 && is_running(client); ++round) {
    if (write(client.stdin_fd, line.data(), line.size()) < 0) {
      break;  // the client has already gone
    }
  }
  EXPECT_EQ(exit_code(client), 1);
}

}  // namespace
