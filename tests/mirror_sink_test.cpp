// mirror and the two printing servers: every byte back, or every byte on standard output.
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "harness.h"

namespace {

using namespace std::string_literals;

std::string every_byte_value() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) {
    bytes += static_cast<char>(value);
  }
  return bytes;
}

std::string mebibytes_of_pattern(std::size_t mebibytes) {
  std::string bytes(mebibytes << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>((i * 7919) >> 3);
  }
  return bytes;
}

struct stream_case {
  const char* name;
  std::string bytes;
};

const stream_case STREAMS[] = {
    {"three_bytes", "abc"},
    {"twenty_five_bytes", "0123456789abcdefghijklmno"},
    {"nul_and_high_bytes", "\0\x7F\x80\xFF\0"s},
    {"every_byte_value", every_byte_value()},
    {"two_mebibytes", mebibytes_of_pattern(2)},
};

void PrintTo(const stream_case& entry, std::ostream* out) {
  *out << entry.name;
}

class MirrorStream : public ProgramTest, public ::testing::WithParamInterface<stream_case> {};

TEST_P(MirrorStream, ComesBackUnchanged) {
  start_server(MIRROR_BIN);
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  const std::string& bytes = GetParam().bytes;
  EXPECT_TRUE(stream_through(fd, bytes, bytes.size()) == bytes) << "echo differs";
  EXPECT_FALSE(data_arrives(fd, 20ms)) << "nothing added";
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Streams, MirrorStream, ::testing::ValuesIn(STREAMS), CASE_NAME);

TEST_F(ProgramTest, MirrorEchoesEightByteLineToClientWhole) {
  start_server(MIRROR_BIN);
  spawn_options options;
  options.stdin_data = "1234567\nab\n";
  const child_process client = start(CLIENT_BIN, options);
  EXPECT_EQ(exit_code(client), 0);
  EXPECT_EQ(read_file(client.stdout_path), "1234567\nab\n");
}

// sink and drain are one program under two names; every test runs on both.
struct printer_case {
  const char* name;
  const char* program;
};

const printer_case PRINTERS[] = {{"sink", SINK_BIN}, {"drain", DRAIN_BIN}};

void PrintTo(const printer_case& entry, std::ostream* out) {
  *out << entry.name;
}

class Printer : public ProgramTest, public ::testing::WithParamInterface<printer_case> {
 protected:
  // Waits until standard output holds `size` bytes and returns them.
  static std::string output_of(const child_process& server, std::size_t size) {
    wait_until([&] { return file_size(server.stdout_path) >= static_cast<long>(size); });
    return read_file(server.stdout_path);
  }
};

TEST_P(Printer, CopiesEveryConnectionWithNothingAddedOrSentBack) {
  const child_process server = start_server(GetParam().program);
  std::string expected;
  for (const stream_case& stream : STREAMS) {
    const int fd = connect_service_port();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(stream_through(fd, stream.bytes, 0), "");
    expected += stream.bytes;
    EXPECT_TRUE(output_of(server, expected.size()) == expected) << "after " << stream.name;
    EXPECT_FALSE(data_arrives(fd, 10ms)) << "the printing servers answer nothing";
    close(fd);
  }
  EXPECT_EQ(read_file(server.stderr_path), "");
}

TEST_P(Printer, TwoConnectionsLeaveExactlyTheirBytesInOrder) {
  const child_process server = start_server(GetParam().program);
  for (const char* bytes : {"abc", "def"}) {
    const int fd = connect_service_port();
    ASSERT_GE(fd, 0);
    send_bytes(fd, bytes);
    close(fd);
  }
  EXPECT_EQ(output_of(server, 6), "abcdef");
}

TEST_P(Printer, ClientWaitsForAnAnswerThatNeverComes) {
  const child_process server = start_server(GetParam().program);
  spawn_options options;
  options.stdin_data = "hola\nadios\n";
  const child_process client = start(CLIENT_BIN, options);
  EXPECT_EQ(output_of(server, 5), "hola\n");
  EXPECT_FALSE(wait_until([&] { return !is_running(client); }, 100ms))
      << "the client had nothing to read and should still be waiting";
  EXPECT_EQ(read_file(server.stdout_path), "hola\n") << "the second line is not sent yet";
}

// Copying is the printing servers' whole job: a standard output that is closed or fails ends them
// with status 1 and one line, and the port with them, so that no client's bytes are taken and
// dropped in silence (the one whose chunk was in hand is reset); a full non-blocking one is waited
// on.
struct output_case {
  const char* name;
  spawn_options options;
  std::string error;  // after "<program>: "; empty: none, every byte is copied
  bool listens;       // false: refused before the port is taken
};

const output_case OUTPUT_CASES[] = {
    {"reader_gone", {.stdout_unread_pipe = true}, "standard output: Broken pipe\n", true},
    {"device_full",
     {.stdout_path = "/dev/full"},
     "standard output: No space left on device\n",
     true},
    {"closed", {.close_stdout = true}, "standard output: Bad file descriptor\n", false},
    // Room for the line on standard error (a file too), not for the hundred bytes sent.
    {"over_file_size_limit", {.fsize_limit = 64}, "standard output: File too large\n", true},
    {"nonblocking_pipe_read_late", {.stdout_pipe = true}, "", true},
};

void PrintTo(const output_case& entry, std::ostream* out) {
  *out << entry.name;
}

class PrinterOutput : public ProgramTest,
                      public ::testing::WithParamInterface<std::tuple<printer_case, output_case>> {
};

TEST_P(PrinterOutput, FailedOutputEndsTheServerFullOutputIsWaitedOn) {
  const auto& [printer, expected] = GetParam();
  const child_process server = start(printer.program, expected.options);
  if (!expected.listens) {
    EXPECT_EQ(exit_code(server), 1);
    EXPECT_EQ(read_file(server.stderr_path), std::string(printer.name) + ": " + expected.error);
    EXPECT_FALSE(port_listening());
    return;
  }
  ASSERT_TRUE(wait_until(port_listening));
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  if (!expected.error.empty()) {
    send_bytes(fd, std::string(100, 'x'));
    EXPECT_EQ(exit_code(server), 1);
    EXPECT_EQ(read_file(server.stderr_path), std::string(printer.name) + ": " + expected.error);
    bool clean_end = true;
    read_to_end(fd, DEFAULT_DEADLINE, &clean_end);
    EXPECT_FALSE(clean_end) << "the client whose bytes were lost must be reset";
    EXPECT_LT(connect_service_port(), 0) << "the next client must be refused";
    close(fd);
    return;
  }
  // More than the pipe holds; read only once it is full and the server waits for room (poll).
  const std::string bytes = mebibytes_of_pattern(1).substr(0, 200000);
  std::thread sender([&] { send_bytes(fd, bytes); });
  EXPECT_TRUE(wait_until([&] { return blocked_in(server.pid, SYS_poll); }));
  EXPECT_TRUE(read_exact(server.stdout_fd, bytes.size()) == bytes) << "copy differs";
  shutdown(fd, SHUT_RDWR);  // a sender still stuck, should the copy have stopped, stops too
  sender.join();
  close(fd);
  EXPECT_TRUE(is_running(server));
  EXPECT_EQ(read_file(server.stderr_path), "");
}

INSTANTIATE_TEST_SUITE_P(Programs, PrinterOutput,
                         ::testing::Combine(::testing::ValuesIn(PRINTERS),
                                            ::testing::ValuesIn(OUTPUT_CASES)),
                         [](const auto& test) {
                           return std::string(std::get<0>(test.param).name) + "_" +
                                  std::get<1>(test.param).name;
                         });

INSTANTIATE_TEST_SUITE_P(Programs, Printer, ::testing::ValuesIn(PRINTERS), CASE_NAME);

}  // namespace
