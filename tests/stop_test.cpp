// Stops and restarts: every byte a server's kernel took in is handed on before it ends, and a
// socket held as a service manager holds one keeps its queue for the next instance.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace {

using namespace std::string_literals;

constexpr int STOPPED_BY_TERM = 128 + SIGTERM;

struct stop_case {
  const char* name;
  const char* program;
  bool paused;   // stopped (SIGSTOP) while the current client sends, so its bytes wait unread
  int queued;    // clients queued behind the current one
  bool restart;  // the test holds the socket and starts a second instance on it after the stop
};

const stop_case STOPS[] = {
    {"current_unread", SINK_BIN, true, 0, false},
    {"queued_own_socket", SINK_BIN, false, 5, false},
    {"restart_sink", SINK_BIN, false, 5, true},
    {"restart_tally", TALLY_BIN, false, 5, true},
};

void PrintTo(const stop_case& entry, std::ostream* out) {
  *out << entry.name;
}

class Stop : public ProgramTest, public ::testing::WithParamInterface<stop_case> {};

// The current client stays connected and silent throughout: a stop never waits for it.
TEST_P(Stop, HandsOnEveryArrivedByte) {
  const stop_case& stop = GetParam();
  const bool printer = stop.program == std::string(SINK_BIN);
  const int held = stop.restart ? listen_service_port() : -1;
  spawn_options options;
  if (stop.restart) {
    options.passed_sockets = {held};
  }
  const child_process first = start_server(stop.program, options);
  const int current = connect_service_port();
  ASSERT_GE(current, 0);
  // Served, and so past the point where the server catches the stop signals.
  send_bytes(current, printer ? "<" : "1+1");
  if (printer) {
    ASSERT_TRUE(wait_until([&] { return read_file(first.stdout_path) == "<"; }));
  } else {
    ASSERT_EQ(read_exact(current, 13), "Resultado: 2\0"s);
  }
  std::string expected_first = printer ? "<" : "";
  if (stop.paused) {
    kill(first.pid, SIGSTOP);
    const std::string unread = repeated("0123456789", 500);
    send_bytes(current, unread);
    ASSERT_TRUE(wait_until([&] { return queued_bytes(side::server, queued::unread) == 5000; }));
    expected_first += unread;
  }
  std::vector<int> clients;
  std::string expected_queued;
  for (int i = 0; i < stop.queued; ++i) {
    clients.push_back(connect_service_port());
    ASSERT_GE(clients.back(), 0);
    const std::string bytes = printer ? std::string(1000, static_cast<char>('a' + i)) : "2+2";
    send_bytes(clients.back(), bytes);
    expected_queued += bytes;
    if (printer) {
      close(clients.back());  // told its bytes went, it leaves
    }
  }
  kill(first.pid, SIGTERM);
  kill(first.pid, SIGCONT);
  EXPECT_EQ(exit_code(first), STOPPED_BY_TERM);
  const std::string copied = read_file(first.stdout_path);
  if (stop.restart) {
    EXPECT_EQ(copied, expected_first) << "a passed socket's queue is left to the next instance";
    const child_process second = start(stop.program, options);
    if (printer) {
      EXPECT_TRUE(wait_until([&] { return read_file(second.stdout_path) == expected_queued; }))
          << read_file(second.stdout_path).size() << " bytes copied by the second instance";
    }
  } else if (printer) {
    EXPECT_EQ(copied.size(), (expected_first + expected_queued).size());
    EXPECT_TRUE(copied == expected_first + expected_queued) << "copy differs";
  }
  if (!printer) {
    for (const int fd : clients) {
      EXPECT_EQ(read_exact(fd, 13), "Resultado: 4\0"s);
      close(fd);
    }
  }
  close(current);
  close(held);
}

INSTANTIATE_TEST_SUITE_P(Servers, Stop, ::testing::ValuesIn(STOPS), CASE_NAME);

// A hand-on held by a peer that has stopped reading: the first signal waits for it (within the
// stall bound), a second ends the server at once, as a user pressing Ctrl-C twice means.
TEST_F(ProgramTest, SecondSignalEndsAHandOnAtOnce) {
  const child_process server = start_server(TALLY_BIN);
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(flood_until_blocked_in_write(server.pid, fd, "1+1"))
      << "the server never blocked on its write";
  kill(server.pid, SIGTERM);
  EXPECT_EQ(wait_exit(server, 300ms), -1) << "the first signal must let the hand-on go on";
  kill(server.pid, SIGINT);
  EXPECT_EQ(exit_code(server), 128 + SIGINT);
  close_with_reset(fd);
}

// What a service manager passed is either one listening TCP socket or a set-up failure.
struct passed_case {
  const char* name;
  int sockets;     // TCP sockets passed
  bool listening;  // whether they listen
  std::string error;
};

const passed_case BAD_HAND_OVERS[] = {
    {"two_sockets", 2, true, "LISTEN_FDS=2: one listening socket expected\n"},
    {"not_listening", 1, false, "descriptor 3 from LISTEN_FDS: not a listening TCP socket\n"},
};

void PrintTo(const passed_case& entry, std::ostream* out) {
  *out << entry.name;
}

class BadHandOver : public ProgramTest, public ::testing::WithParamInterface<passed_case> {};

TEST_P(BadHandOver, IsASetUpFailure) {
  spawn_options options;
  for (int i = 0; i < GetParam().sockets; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_TRUE(fd >= 0 && (!GetParam().listening || listen(fd, 1) == 0));
    options.passed_sockets.push_back(fd);
  }
  const child_process server = start(TALLY_BIN, options);
  EXPECT_EQ(exit_code(server), 1);
  EXPECT_EQ(read_file(server.stderr_path), "tally: " + GetParam().error);
  EXPECT_FALSE(port_listening()) << "it must not open a socket of its own instead";
  for (const int fd : options.passed_sockets) {
    close(fd);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BadHandOver, ::testing::ValuesIn(BAD_HAND_OVERS), CASE_NAME);

}  // namespace
