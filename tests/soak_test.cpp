// Fault and soak tests: every server under thousands of connections, resets, blocked writes,
// a burst of queued clients, a held port and exhausted descriptors.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include <thread>

#include "harness.h"

namespace {

using namespace std::string_literals;

struct server_case {
  const char* name;
  const char* program;
  std::string request;  // one chunk
  std::string answer;   // what comes back for it; empty: nothing does
};

constexpr std::size_t BURST = 1000;

// The glyphs burst depends on how many came before; it is checked for its form instead.
bool is_burst(const std::string& bytes) {
  if (bytes.size() != BURST) {
    return false;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char expected = i == 0 ? bytes[0] : (bytes[i - 1] == '~' ? ' ' : bytes[i - 1] + 1);
    if (bytes[i] < ' ' || bytes[i] > '~' || bytes[i] != expected) {
      return false;
    }
  }
  return true;
}

const server_case SERVERS[] = {
    {"tally", TALLY_BIN, "20 + 22", "Resultado: 42\0"s},
    {"glyphs", GLYPHS_BIN, "?", std::string(BURST, '*')},
    {"mirror", MIRROR_BIN, "\0echo\xFF"s, "\0echo\xFF"s},
    {"sink", SINK_BIN, "copy\n", ""},
    {"drain", DRAIN_BIN, "copy\n", ""},
};

void PrintTo(const server_case& entry, std::ostream* out) {
  *out << entry.name;
}

class EveryServer : public ProgramTest, public ::testing::WithParamInterface<server_case> {
 protected:
  bool is_glyphs() const { return std::string(GetParam().name) == "glyphs"; }

  // One request on an open connection and its answer, checked.
  ::testing::AssertionResult exchange(int fd) {
    send_bytes(fd, GetParam().request);
    const std::string& answer = GetParam().answer;
    if (answer.empty()) {
      return ::testing::AssertionSuccess();
    }
    const std::string got = read_exact(fd, answer.size());
    if (is_glyphs() ? is_burst(got) : got == answer) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "wrong answer of " << got.size() << " bytes";
  }

  ::testing::AssertionResult serves_one() {
    const int fd = connect_service_port();
    if (fd < 0) {
      return ::testing::AssertionFailure() << "no longer accepts";
    }
    ::testing::AssertionResult result = exchange(fd);
    close(fd);
    return result;
  }
};

// The servers that write to their peers.
class AnsweringServer : public EveryServer {};

// Waits until the server holds no connection: only its standard streams and the listener.
bool idle(const child_process& server, int idle_descriptors) {
  return wait_until([&] { return open_fd_count(server.pid) == idle_descriptors; });
}

TEST_P(EveryServer, TenThousandConnectionsSomeResetLeaveItFlat) {
  const child_process server = start_server(GetParam().program);
  const int idle_descriptors = open_fd_count(server.pid);
  long resident_after_warm_up = 0;
  for (int round = 0; round < 10000; ++round) {
    const int fd = connect_service_port();
    ASSERT_GE(fd, 0) << "round " << round;
    if (round % 8 == 7) {
      send_bytes(fd, GetParam().request);
      close_with_reset(fd);  // answer still unread
      continue;
    }
    ASSERT_TRUE(exchange(fd)) << "round " << round;
    // Lockstep: the server closes its side only once it has served this connection whole.
    shutdown(fd, SHUT_WR);
    ASSERT_EQ(read_to_end(fd), "") << "round " << round;
    close(fd);
    if (round == 499) {
      ASSERT_TRUE(idle(server, idle_descriptors));
      resident_after_warm_up = resident_kib(server.pid);
    }
  }
  EXPECT_TRUE(serves_one());
  EXPECT_TRUE(idle(server, idle_descriptors)) << open_fd_count(server.pid) << " descriptors";
  EXPECT_LE(resident_kib(server.pid) - resident_after_warm_up, 64)
      << "resident KiB after warm-up " << resident_after_warm_up;
}

// A peer that sends without reading until the server is stuck writing to it, then leaves.
TEST_P(AnsweringServer, RecoversFromPeerThatNeverReads) {
  const child_process server = start_server(GetParam().program);
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(flood_until_blocked_in_write(server.pid, fd, GetParam().request))
      << "the server never blocked on its write";
  close_with_reset(fd);
  EXPECT_TRUE(serves_one());
  EXPECT_TRUE(is_running(server));
}

// A burst of clients that connect while another is served: each queued, none dropped for its
// kernel to try again later, and each served in turn with every byte it sent.
TEST_P(EveryServer, ServesABurstOfQueuedClientsInTurn) {
  constexpr std::size_t BURST_CLIENTS = 64;
  const child_process server = start_server(GetParam().program);
  const int holder = connect_service_port();
  ASSERT_GE(holder, 0);
  ASSERT_TRUE(exchange(holder));
  const std::vector<int> burst = connect_burst(BURST_CLIENTS);
  const std::string& answer = GetParam().answer;
  for (const int fd : burst) {
    ASSERT_GE(fd, 0) << "a client of the burst was never queued";
    send_bytes(fd, GetParam().request);
    shutdown(fd, SHUT_WR);  // so the server moves on whatever order it takes them in
    if (answer.empty()) {
      close(fd);  // told its bytes went, it leaves
    }
  }
  close(holder);
  if (answer.empty()) {
    const std::string expected = repeated(GetParam().request, BURST_CLIENTS + 1);
    EXPECT_TRUE(wait_until([&] { return read_file(server.stdout_path) == expected; }))
        << read_file(server.stdout_path).size() << " of " << expected.size() << " bytes copied";
    return;
  }
  for (const int fd : burst) {
    const std::string got = read_exact(fd, answer.size());
    EXPECT_TRUE(is_glyphs() ? is_burst(got) : got == answer) << got.size() << " bytes";
    close(fd);
  }
}

TEST_P(EveryServer, SecondCopyOnHeldPortExitsWithOneLine) {
  const child_process holder = start_server(TALLY_BIN);
  const child_process second = start(GetParam().program);
  EXPECT_EQ(exit_code(second), 1);
  EXPECT_EQ(read_file(second.stderr_path),
            std::string(GetParam().name) + ": bind: Address already in use\n");
  EXPECT_EQ(read_file(second.stdout_path), "");
  EXPECT_TRUE(is_running(holder));
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0) << "the holder must still serve";
  send_bytes(fd, "1+1");
  EXPECT_EQ(read_exact(fd, 13), "Resultado: 2\0"s);
  close(fd);
}

TEST_P(EveryServer, NoDescriptorForTheSocketExitsWithOneLine) {
  spawn_options options;
  options.failing_syscall = SYS_socket;
  options.failing_errno = EMFILE;
  const child_process server = start(GetParam().program, options);
  EXPECT_EQ(exit_code(server), 1);
  EXPECT_EQ(read_file(server.stderr_path),
            std::string(GetParam().name) + ": socket: Too many open files\n");
  EXPECT_EQ(read_file(server.stdout_path), "");
}

// With room for the listener but none for a connection, or with every accept refused (a filter),
// accept fails again and again: the server must wait between tries, not spin, say so once, and
// stop within the stop's one wait all the same; given room again, it says so and serves.
TEST_P(EveryServer, PersistentAcceptFailureNeverSpins) {
  const std::string name = GetParam().name;
  struct cause {
    spawn_options options;
    std::string said;  // after "<program>: "
  };
  // With no descriptor to spare, Landlock's ruleset cannot be made either.
  const std::string landlock_left_out =
      PROGRAMS_CONFINED ? "confined without Landlock (Too many open files)\n" + name + ": " : "";
  const cause causes[] = {
      {{.nofile_limit = 4}, landlock_left_out + "accept: Too many open files\n"},
      {{.failing_syscall = SYS_accept, .failing_errno = EPERM},
       "accept: Operation not permitted\n"}};
  for (const cause& failing : causes) {
    const child_process server = start_server(GetParam().program, failing.options);
    const int fd = connect_service_port();  // completed by the kernel, never accepted
    ASSERT_GE(fd, 0);
    const long ticks_before = cpu_ticks(server.pid);
    // An observation window, not a wait for a condition: a spinning server would burn all of it.
    std::this_thread::sleep_for(1s);
    const long ticks_used = cpu_ticks(server.pid) - ticks_before;
    EXPECT_LE(ticks_used, 10) << "CPU ticks in one second (100 per second means a busy loop)";
    EXPECT_EQ(read_file(server.stderr_path), name + ": " + failing.said) << "said once";
    if (failing.options.nofile_limit > 0) {
      const rlimit room{64, 64};
      ASSERT_EQ(prlimit(server.pid, RLIMIT_NOFILE, &room, nullptr), 0) << std::strerror(errno);
      EXPECT_TRUE(wait_until([&] {
        return read_file(server.stderr_path) ==
               name + ": " + failing.said + name + ": accepting again\n";
      }));
    }
    const auto stopped = std::chrono::steady_clock::now();
    kill(server.pid, SIGTERM);
    EXPECT_EQ(exit_code(server), 128 + SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 10s) << "the stop's one wait, not 110 s";
    close(fd);
  }
}

// A server stopped while a client is still connected leaves that connection closing on the port
// for a minute; the next server takes the port at once all the same.
TEST_P(EveryServer, TakesThePortAtOnceFromAStoppedServer) {
  const child_process stopped = start_server(TALLY_BIN);
  const int held = connect_service_port();
  ASSERT_GE(held, 0);
  send_bytes(held, "1+1");
  ASSERT_EQ(read_exact(held, 13), "Resultado: 2\0"s);
  kill(stopped.pid, SIGTERM);
  ASSERT_NE(wait_exit(stopped), -1);
  const child_process server = start(GetParam().program);
  EXPECT_TRUE(wait_until(port_listening)) << read_file(server.stderr_path);
  EXPECT_TRUE(serves_one());
  close(held);
}

// A listen that fails must not leave a server that looks alive but listens nowhere.
TEST_F(ProgramTest, FailedListenExitsWithOneLine) {
  spawn_options options;
  options.failing_syscall = SYS_listen;
  options.failing_errno = EADDRINUSE;
  const child_process server = start(TALLY_BIN, options);
  EXPECT_EQ(exit_code(server), 1);
  EXPECT_EQ(read_file(server.stderr_path), "tally: listen: Address already in use\n");
  EXPECT_FALSE(port_listening());
}

INSTANTIATE_TEST_SUITE_P(Servers, EveryServer, ::testing::ValuesIn(SERVERS), CASE_NAME);
INSTANTIATE_TEST_SUITE_P(Servers, AnsweringServer, ::testing::ValuesIn(SERVERS, SERVERS + 3),
                         CASE_NAME);

}  // namespace
