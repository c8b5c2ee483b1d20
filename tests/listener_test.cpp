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

}  // namespace
