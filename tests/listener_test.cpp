// The shared listener under real faults, driven through tally.
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace {

using namespace std::string_literals;

const std::string TWO = "Resultado: 2\0"s;

// Proves the server is alive and serving by one fresh exchange.
void expect_serves(const std::string& request, const std::string& answer) {
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0) << "server no longer accepts";
  send_bytes(fd, request);
  EXPECT_EQ(read_exact(fd, answer.size()), answer);
  close(fd);
}

// Ways a peer leaves; every one must leave the server serving the next connection.
enum class departure { silent_close, close_unread, reset_unread, shutdown_then_reset };

void depart(int fd, departure how) {
  const std::string burst(1000, ' ');
  switch (how) {
    case departure::silent_close:
      break;
    case departure::close_unread:
      send_bytes(fd, "1+1       " + burst);
      break;
    case departure::reset_unread:
      send_bytes(fd, "1+1       " + burst);
      close_with_reset(fd);
      return;
    case departure::shutdown_then_reset:
      send_bytes(fd, "1+1");
      shutdown(fd, SHUT_WR);
      close_with_reset(fd);
      return;
  }
  close(fd);
}

void PrintTo(departure how, std::ostream* out) {
  const char* const NAMES[] = {"silent_close", "close_unread", "reset_unread",
                               "shutdown_then_reset"};
  *out << NAMES[static_cast<int>(how)];
}

class PeerDeparture : public ProgramTest, public ::testing::WithParamInterface<departure> {};

TEST_P(PeerDeparture, ServerGoesOnWithNextConnection) {
  const child_process server = start_server(TALLY_BIN);
  for (int round = 0; round < 20; ++round) {
    const int fd = connect_service_port();
    ASSERT_GE(fd, 0);
    depart(fd, GetParam());
  }
  expect_serves("1+1", TWO);
  EXPECT_TRUE(is_running(server)) << "a vanished peer must never end the server";
}

INSTANTIATE_TEST_SUITE_P(Departures, PeerDeparture,
                         ::testing::Values(departure::silent_close, departure::close_unread,
                                           departure::reset_unread,
                                           departure::shutdown_then_reset));

TEST_F(ProgramTest, WaitingClientIsServedOnlyAfterTheCurrentOneCloses) {
  start_server(TALLY_BIN);
  const int first = connect_service_port();
  ASSERT_GE(first, 0);
  send_bytes(first, "1+1");
  ASSERT_EQ(read_exact(first, TWO.size()), TWO);
  const int second = connect_service_port();
  ASSERT_GE(second, 0);
  send_bytes(second, "2+2");
  EXPECT_FALSE(data_arrives(second, 100ms)) << "second client answered while the first is served";
  send_bytes(first, "1+1");
  EXPECT_EQ(read_exact(first, TWO.size()), TWO);
  close(first);
  EXPECT_EQ(read_exact(second, 13), "Resultado: 4\0"s);
  close(second);
}

// Input that is already waiting when a chunk is taken: its answers leave together, in far fewer
// segments than chunks, every byte in order. Counted as the data segments the client receives,
// which no slowness of the machine can merge.
struct batch_case {
  const char* name;
  const char* program;
  std::string request;  // sent in one piece
  std::string answer;
  long most_segments;  // without batching: one per write, or one per glyphs burst
};

const batch_case BATCHES[] = {
    // A request split over two chunks, the only one in flight: both answers in one segment.
    {"tally_two_chunks", TALLY_BIN, "12 + 34 - 5\n",
     "Resultado: 46\0Falta un operando m\xC3\xA1s\0"s, 1},
    {"tally_pipelined", TALLY_BIN, repeated("1234+56789", 200),
     repeated("Resultado: 58023\0"s, 200), 2},
    {"mirror_stream", MIRROR_BIN, repeated("0123456789", 1000), repeated("0123456789", 1000), 10},
    // Twenty bursts under the listener's cork, not twenty corked one by one.
    {"glyphs_prompts", GLYPHS_BIN, repeated("?123456789", 20), glyph_sequence(0, 20000), 5},
};

void PrintTo(const batch_case& entry, std::ostream* out) {
  *out << entry.name;
}

class Batching : public ProgramTest, public ::testing::WithParamInterface<batch_case> {};

TEST_P(Batching, WaitingInputIsAnsweredInFewSegments) {
  start_server(GetParam().program);
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  const long segments_before = data_segments_received(fd);
  const std::string& answer = GetParam().answer;
  EXPECT_TRUE(stream_through(fd, GetParam().request, answer.size()) == answer) << "answers differ";
  EXPECT_LE(data_segments_received(fd) - segments_before, GetParam().most_segments);
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Servers, Batching, ::testing::ValuesIn(BATCHES), CASE_NAME);

// A byte sent urgent (MSG_OOB) is an ordinary byte of the stream: the handler gets it in place.
struct urgent_case {
  const char* name;
  const char* program;
  std::string before, urgent, after;
  std::string answer;  // what comes back; for the printing server, what it prints
};

const urgent_case URGENT_CASES[] = {
    {"mirror", MIRROR_BIN, "ab", "!", "cd", "ab!cd"},
    {"mirror_binary", MIRROR_BIN, "\0"s, "\xFF", "\x80", "\0\xFF\x80"s},
    {"sink", SINK_BIN, "ab", "X", "cd", "abXcd"},
    {"tally_lone", TALLY_BIN, "", "7", "", "Falta un operando m\xC3\xA1s\0"s},
};

void PrintTo(const urgent_case& entry, std::ostream* out) {
  *out << entry.name;
}

class UrgentByte : public ProgramTest, public ::testing::WithParamInterface<urgent_case> {};

TEST_P(UrgentByte, ReachesTheHandlerInPlace) {
  const urgent_case& sent = GetParam();
  const child_process server = start_server(sent.program);
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  send_bytes(fd, sent.before);
  ASSERT_EQ(send(fd, sent.urgent.data(), sent.urgent.size(), MSG_OOB),
            static_cast<ssize_t>(sent.urgent.size()));
  send_bytes(fd, sent.after);
  if (sent.program == std::string(SINK_BIN)) {
    EXPECT_TRUE(wait_until([&] { return read_file(server.stdout_path) == sent.answer; }))
        << "printed: " << read_file(server.stdout_path);
  } else {
    EXPECT_EQ(read_exact(fd, sent.answer.size()), sent.answer);
  }
  EXPECT_FALSE(data_arrives(fd, 20ms)) << "nothing more";
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Servers, UrgentByte, ::testing::ValuesIn(URGENT_CASES), CASE_NAME);

}  // namespace
