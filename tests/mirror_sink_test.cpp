// mirror and the two printing servers: every byte back, or every byte on standard output.
#include <sys/wait.h>
#include <unistd.h>

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

std::string case_name(const ::testing::TestParamInfo<stream_case>& test) {
  return test.param.name;
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

INSTANTIATE_TEST_SUITE_P(Streams, MirrorStream, ::testing::ValuesIn(STREAMS), case_name);

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
    wait_until([&] { return read_file(server.stdout_path).size() >= size; });
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

// A standard output that is closed, or a pipe nobody reads, loses the copy, not the server.
TEST_P(Printer, BrokenStandardOutputNeverEndsTheServer) {
  for (const bool closed : {true, false}) {
    enter_private_network();
    spawn_options options;
    options.close_stdout = closed;
    options.stdout_unread_pipe = !closed;
    const child_process server = start_server(GetParam().program, options);
    for (int round = 0; round < 3; ++round) {
      const int fd = connect_service_port();
      ASSERT_GE(fd, 0) << "round " << round;
      EXPECT_EQ(stream_through(fd, "lost bytes", 0), "");
      close(fd);
    }
    const int fd = connect_service_port();
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(is_running(server)) << (closed ? "closed" : "broken pipe");
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, Printer, ::testing::ValuesIn(PRINTERS),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
