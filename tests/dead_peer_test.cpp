// A peer whose host vanishes without a word must not hold the server for good, and a live client
// that stays idle must never be dropped. Each test waits out the server's keepalive bound.
#include <unistd.h>

#include "harness.h"

namespace {

using namespace std::string_literals;

constexpr auto DEAD_PEER_BOUND = 120s;  // the server drops a silent, vanished peer within this
constexpr char VANISHING_ADDRESS[] = "127.0.0.2";

// From here on, nothing reaches the address: a blackhole rule ahead of the local table, which
// would otherwise deliver it first. As if the peer's host had lost power: no reset, no FIN.
void cut_off(const char* address) {
  ASSERT_TRUE(run_command({"ip", "rule", "add", "pref", "200", "lookup", "local"}));
  ASSERT_TRUE(run_command({"ip", "rule", "del", "pref", "0"}));
  ASSERT_TRUE(run_command({"ip", "rule", "add", "pref", "100", "to", address, "blackhole"}));
}

TEST_F(ProgramTest, VanishedPeerReleasesTheServerForTheNextClient) {
  start_server(TALLY_BIN);
  const int vanishing = connect_service_port(VANISHING_ADDRESS);
  ASSERT_GE(vanishing, 0);
  send_bytes(vanishing, "1+1");
  ASSERT_EQ(read_exact(vanishing, 13), "Resultado: 2\0"s);
  cut_off(VANISHING_ADDRESS);

  const int next = connect_service_port();
  ASSERT_GE(next, 0);
  send_bytes(next, "2+2");
  EXPECT_FALSE(data_arrives(next, 1s)) << "the vanished peer should still hold the server";
  EXPECT_EQ(read_exact(next, 13, DEAD_PEER_BOUND), "Resultado: 4\0"s)
      << "not served within the dead-peer bound";
  close(next);
  close(vanishing);
}

TEST_F(ProgramTest, LiveClientIdleBeyondTheBoundIsStillServed) {
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

}  // namespace
