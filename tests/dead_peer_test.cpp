// A peer that vanishes without a word, or stops taking the answers, must not hold the server past
// its bound, and a live client that stays idle must never be dropped. Each test waits out the
// server's two-minute bound.
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "harness.h"

namespace {

using namespace std::string_literals;

constexpr auto DEAD_PEER_BOUND = 120s;  // the server drops a vanished or stalled peer within this
constexpr char VANISHING_ADDRESS[] = "127.0.0.2";

class DeadPeer : public ProgramTest {
 protected:
  // The local table, which would deliver every loopback packet first, moves behind the rules
  // that cut_off adds.
  void SetUp() override {
    ProgramTest::SetUp();
    if (!IsSkipped()) {
      ASSERT_TRUE(run_command({"ip", "rule", "add", "pref", "200", "lookup", "local"}));
      ASSERT_TRUE(run_command({"ip", "rule", "del", "pref", "0"}));
    }
  }

  // From here on, nothing reaches the address ("to"), or nothing from it arrives ("from"): as if
  // its host had lost power. No reset, no FIN.
  static void cut_off(const char* direction, const char* address) {
    ASSERT_TRUE(run_command({"ip", "rule", "add", "pref", "100", direction, address, "blackhole"}));
  }
};

struct vanishing_case {
  const char* name;
  const char* program;
  std::string request;
  std::string answer;
  bool answer_in_flight;  // cut off before its answer arrives, which keepalive never probes past
};

const vanishing_case VANISHINGS[] = {
    {"idle", TALLY_BIN, "2+2", "Resultado: 4\0"s, false},
    {"answer_in_flight", MIRROR_BIN, "echo", "echo", true},
};

void PrintTo(const vanishing_case& entry, std::ostream* out) {
  *out << entry.name;
}

class VanishedPeer : public DeadPeer, public ::testing::WithParamInterface<vanishing_case> {};

TEST_P(VanishedPeer, ReleasesTheServerForTheNextClient) {
  const vanishing_case& peer = GetParam();
  start_server(peer.program);
  const int vanishing = connect_service_port(VANISHING_ADDRESS);
  ASSERT_GE(vanishing, 0);
  if (peer.answer_in_flight) {
    cut_off("to", VANISHING_ADDRESS);
    send_bytes(vanishing, peer.request);
    ASSERT_TRUE(wait_until([] { return queued_bytes(side::server, queued::unsent) > 0; }));
  } else {
    send_bytes(vanishing, peer.request);
    ASSERT_EQ(read_exact(vanishing, peer.answer.size()), peer.answer);
    cut_off("to", VANISHING_ADDRESS);
  }
  cut_off("from", VANISHING_ADDRESS);

  const int next = connect_service_port();
  ASSERT_GE(next, 0);
  send_bytes(next, peer.request);
  EXPECT_FALSE(data_arrives(next, 1s)) << "the vanished peer should still hold the server";
  EXPECT_EQ(read_exact(next, peer.answer.size(), DEAD_PEER_BOUND), peer.answer)
      << "not served within the dead-peer bound";
  close(next);
  close(vanishing);
}

INSTANTIATE_TEST_SUITE_P(Peers, VanishedPeer, ::testing::ValuesIn(VANISHINGS), CASE_NAME);

// client reads 8 bytes a line, and glyphs answers each 10 bytes with 1000: fed 10 MB of long
// lines from a file, the client soon blocks sending while the server blocks writing, each waiting
// for the other to read.
TEST_F(DeadPeer, ClientThatStopsReadingIsDroppedWithinTheBound) {
  const child_process server = start_server(GLYPHS_BIN);
  const std::string line = std::string(254, '?') + "\n";
  const child_process client = start(CLIENT_BIN, {.stdin_data = repeated(line, 40000)});
  ASSERT_TRUE(wait_until([&] { return blocked_in(server.pid, SYS_write); }, 60s));
  const int next = connect_service_port();
  ASSERT_GE(next, 0);
  send_bytes(next, "?");
  EXPECT_EQ(read_exact(next, 1000, DEAD_PEER_BOUND).size(), 1000U)
      << "not served within the dead-peer bound";
  EXPECT_EQ(exit_code(client, 240s), 1) << "the client must learn that it was dropped";
  close(next);
}

TEST_F(DeadPeer, LiveClientIdleBeyondTheBoundIsStillServed) {
  start_server(TALLY_BIN);
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  send_bytes(fd, "1+1");
  ASSERT_EQ(read_exact(fd, 13), "Resultado: 2\0"s);
  const long segments_before = segments_received(fd);
  EXPECT_FALSE(wait_until([] { return connections_to_port() == 0; }, DEAD_PEER_BOUND + 5s))
      << "the server dropped a live idle client";
  EXPECT_GT(segments_received(fd), segments_before) << "no keepalive probe reached the client";
  send_bytes(fd, "2+2");
  EXPECT_EQ(read_exact(fd, 13), "Resultado: 4\0"s);
  close(fd);
}

// A peer that takes its answers a little at a time keeps its window opening, so no timeout ever
// drops it; a stop that hands answers on to it still ends by its deadline, as the signal ends it.
TEST_F(DeadPeer, SlowReaderCannotHoldAStopPastItsDeadline) {
  const child_process server = start_server(GLYPHS_BIN);
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(flood_until_blocked_in_write(server.pid, fd, "??????????"));
  kill(server.pid, SIGTERM);
  ASSERT_TRUE(wait_until([&] { return !signal_pending(server.pid, SIGTERM); }));
  // 8 KiB every half second: megabytes are owed, which would take minutes at this pace.
  char piece[8192];
  int code = -1;
  for (int round = 0; round < 300 && code == -1; ++round) {
    (void)recv(fd, piece, sizeof piece, MSG_DONTWAIT);
    code = exit_code(server, 500ms);
  }
  EXPECT_EQ(code, 128 + SIGTERM) << "the stop outlived its deadline";
  close_with_reset(fd);
}

}  // namespace
