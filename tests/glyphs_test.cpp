// glyphs: the exact character stream, across chunks, connections and vanished peers.
#include <sys/wait.h>
#include <unistd.h>

#include "glyphs.h"
#include "harness.h"

namespace {

constexpr int PERIOD = 95;

std::string burst_after(long bursts_before) {
  return glyph_sequence(bursts_before * BURST_SIZE, BURST_SIZE);
}

TEST(CharacterGenerator, RunsBlankToTildeForeverWithOneNul) {
  for (long i = 0; i < 100000; ++i) {
    const std::array<char, 2> text = character_generator();
    ASSERT_EQ(text[0], static_cast<char>(' ' + i % PERIOD)) << "character " << i;
    ASSERT_EQ(text[1], '\0');
  }
}

class Glyphs : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (!IsSkipped()) {
      server_ = start_server(GLYPHS_BIN);
    }
  }
  child_process server_;
};

TEST_F(Glyphs, FirstBurstIsTenCyclesAndFiftyEndingInQ) {
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  send_bytes(fd, "x");
  const std::string burst = read_exact(fd, BURST_SIZE);
  EXPECT_EQ(burst, burst_after(0));
  EXPECT_EQ(burst.back(), 'Q');
  EXPECT_FALSE(data_arrives(fd, 20ms)) << "exactly 1000 characters per chunk";
  close(fd);

  const int later = connect_service_port();
  ASSERT_GE(later, 0);
  send_bytes(later, "x");
  const std::string second = read_exact(later, BURST_SIZE);
  EXPECT_EQ(second, burst_after(1));
  EXPECT_EQ(second.front(), 'R');
  close(later);
}

TEST_F(Glyphs, SequenceRunsOnAcrossChunksAndConnections) {
  const std::string chunks[] = {"0123456789", "a", "\n"};
  long bursts = 0;
  for (int connection = 0; connection < 3; ++connection) {
    const int fd = connect_service_port();
    ASSERT_GE(fd, 0);
    for (const std::string& chunk : chunks) {
      send_bytes(fd, chunk);
      EXPECT_EQ(read_exact(fd, BURST_SIZE), burst_after(bursts)) << "burst " << bursts;
      ++bursts;
    }
    close(fd);
  }
}

TEST_F(Glyphs, SixteenBytesAtOnceAreTwoChunksAndTwoBursts) {
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  send_bytes(fd, "0123456789abcdef");
  EXPECT_EQ(read_exact(fd, 2 * BURST_SIZE), glyph_sequence(0, 2 * BURST_SIZE));
  EXPECT_FALSE(data_arrives(fd, 20ms));
  close(fd);
}

TEST_F(Glyphs, PeersThatVanishMidBurstLeaveTheSequenceExact) {
  for (long round = 0; round < 20; ++round) {
    const int fd = connect_service_port();
    ASSERT_GE(fd, 0);
    send_bytes(fd, "x");
    ASSERT_EQ(read_exact(fd, 10), burst_after(round).substr(0, 10));
    if (round % 2 == 0) {
      close_with_reset(fd);
    } else {
      close(fd);
    }
  }
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  send_bytes(fd, "x");
  EXPECT_EQ(read_exact(fd, BURST_SIZE), burst_after(20));
  close(fd);
  EXPECT_TRUE(is_running(server_));
}

TEST_F(Glyphs, MemoryStaysFlatOverMillionsOfCharacters) {
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  send_bytes(fd, "x");
  ASSERT_EQ(read_exact(fd, BURST_SIZE).size(), static_cast<std::size_t>(BURST_SIZE));
  const long resident_before = resident_kib(server_.pid);
  for (long burst = 1; burst <= 3000; ++burst) {
    send_bytes(fd, "x");
    ASSERT_EQ(read_exact(fd, BURST_SIZE), burst_after(burst)) << "burst " << burst;
  }
  EXPECT_LE(resident_kib(server_.pid) - resident_before, 64) << "3,000,000 characters sent";
  close(fd);
}

TEST_F(Glyphs, ClientShowsEightCharactersAfterEachLine) {
  spawn_options options;
  options.stdin_data = "a\nb\nc\n";
  const child_process client = start(CLIENT_BIN, options);
  EXPECT_EQ(exit_code(client), 0);
  EXPECT_EQ(read_file(client.stdout_path), glyph_sequence(0, 24));
}

}  // namespace
