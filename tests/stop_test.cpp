// Stops and restarts: every byte a server's kernel took in is handed on before it ends, and a
// socket held as a service manager holds one keeps its queue for the next instance.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "full_io.h"
#include "harness.h"
#include "service_port.h"

namespace {

using namespace std::string_literals;

constexpr int STOPPED_BY_TERM = 128 + SIGTERM;
constexpr std::size_t CHUNK = 10;

// Who, besides the test, stands behind the server: nobody (started by hand, or by a launcher that
// passed its socket), a stand-in for a service manager that states a descriptor store, or one
// that only listens for notifications and closes every descriptor it is sent.
enum class manager_kind { none, keeps, keeps_nothing };

struct stop_case {
  const char* name;
  const char* program;
  int unread = 0;          // bytes the current client sends while the server is paused (SIGSTOP)
  int queued = 0;          // clients queued behind the current one
  bool restart = false;    // the test holds the socket and starts a second instance on it after
  bool streaming = false;  // the current client goes on sending after the stop, reading to the end
  bool blocked = false;    // started with the stop signals blocked
  bool ended = false;      // the current client ends its side after its unread bytes
  bool launcher = false;   // the socket is passed by a launcher that keeps no copy of it
  manager_kind manager = manager_kind::none;
  int silent = 0;                // silent clients queued ahead of the others, each cut by the stop
  const char* fdname = nullptr;  // the passed socket's name (LISTEN_FDNAMES), as a socket unit's
};

const stop_case STOPS[] = {
    {.name = "current_unread", .program = SINK_BIN, .unread = 5000},
    {.name = "queued_own_socket", .program = SINK_BIN, .queued = 5},
    {.name = "restart_sink",
     .program = SINK_BIN,
     .queued = 5,
     .restart = true,
     .manager = manager_kind::keeps},
    {.name = "restart_tally",
     .program = TALLY_BIN,
     .queued = 5,
     .restart = true,
     .manager = manager_kind::keeps},
    {.name = "streaming_mirror", .program = MIRROR_BIN, .unread = 50000, .streaming = true},
    {.name = "blocked_at_start", .program = SINK_BIN, .queued = 1, .blocked = true},
    {.name = "finished_upload", .program = SINK_BIN, .unread = 5000, .ended = true},
    {.name = "launcher_socket", .program = SINK_BIN, .queued = 5, .launcher = true},
    {.name = "manager_without_store",
     .program = SINK_BIN,
     .queued = 5,
     .manager = manager_kind::keeps_nothing},
    {.name = "silent_queue", .program = SINK_BIN, .queued = 1, .silent = 20},
    // A socket unit of the user's own before a service without a store: it keeps the queue.
    {.name = "named_socket",
     .program = SINK_BIN,
     .queued = 5,
     .restart = true,
     .fdname = "portkit-sink.socket"},
};

void PrintTo(const stop_case& entry, std::ostream* out) {
  *out << entry.name;
}

bool is_printer(const char* program) {
  return program == std::string(SINK_BIN);
}

// One request to the current client's server and its answer (or copy), so that the server is
// known to be serving it, and so past the point where it catches the stop signals.
void serve_first(const child_process& server, const char* program, int fd) {
  if (is_printer(program)) {
    send_bytes(fd, "<");
    ASSERT_TRUE(wait_until([&] { return read_file(server.stdout_path) == "<"; }));
  } else if (program == std::string(TALLY_BIN)) {
    send_bytes(fd, "1+1");
    ASSERT_EQ(read_exact(fd, 13), "Resultado: 2\0"s);
  } else {
    send_bytes(fd, "<");
    ASSERT_EQ(read_exact(fd, 1), "<");
  }
}

class Stop : public ProgramTest, public ::testing::WithParamInterface<stop_case> {};

// Unless it streams or has ended its side, the current client stays connected and silent: a stop
// never waits for it.
TEST_P(Stop, HandsOnEveryArrivedByte) {
  const stop_case& stop = GetParam();
  const bool printer = is_printer(stop.program);
  int held = stop.restart || stop.launcher ? listen_service_port() : -1;
  spawn_options options;
  options.block_stop_signals = stop.blocked;
  if (held >= 0) {
    options.passed_sockets = {held};
  }
  std::string address;
  const int manager = stop.manager == manager_kind::none ? -1 : notification_socket(&address);
  if (manager >= 0) {
    options.environment = {"NOTIFY_SOCKET=" + address};
  }
  if (stop.manager == manager_kind::keeps) {
    options.environment.emplace_back("FDSTORE=2");
  }
  if (stop.fdname != nullptr) {
    options.environment.emplace_back(std::string("LISTEN_FDNAMES=") + stop.fdname);
  }
  const child_process first = start_server(stop.program, options);
  if (stop.launcher) {
    close(held);
    held = -1;
  }
  const int current = connect_service_port();
  ASSERT_GE(current, 0);
  serve_first(first, stop.program, current);
  std::string expected_first = printer ? "<" : "";
  const std::string unread = repeated("0123456789", stop.unread / 10);
  if (stop.unread > 0) {
    kill(first.pid, SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return is_stopped(first.pid); }));
    send_bytes(current, unread);
    ASSERT_TRUE(wait_until([&] {
      return queued_bytes(side::server, queued::unread) == stop.unread;
    })) << "waiting for "
        << stop.unread << " unread bytes";
    expected_first += unread;
    if (stop.ended) {
      shutdown(current, SHUT_WR);
    }
  }
  std::vector<int> silent;
  for (int i = 0; i < stop.silent; ++i) {
    silent.push_back(connect_service_port());
    ASSERT_GE(silent.back(), 0);
  }
  std::vector<int> clients;
  std::string expected_queued;
  for (int i = 0; i < stop.queued; ++i) {
    clients.push_back(connect_service_port());
    ASSERT_GE(clients.back(), 0);
    const std::string bytes = printer ? std::string(1000, static_cast<char>('a' + i)) : "2+2";
    send_bytes(clients.back(), bytes);
    ASSERT_TRUE(wait_until([&] { return unacknowledged_bytes(clients.back()) == 0; }));
    expected_queued += bytes;
    if (printer) {
      close(clients.back());  // its bytes are in the server's kernel: it leaves
    }
  }
  kill(first.pid, SIGTERM);
  kill(first.pid, SIGCONT);
  if (stop.streaming) {
    // Its first answers show the hand-on under way: these bytes arrive after the stop.
    std::string echoed = read_exact(current, 10);
    const std::string late = "late bytes";
    send_bytes(current, late);
    bool clean_end = false;
    echoed += read_to_end(current, DEFAULT_DEADLINE, &clean_end);
    EXPECT_GE(echoed.size(), unread.size()) << "every answer owed";
    EXPECT_TRUE(echoed == (unread + late).substr(0, echoed.size())) << "echo differs";
    EXPECT_FALSE(clean_end) << "its late bytes were dropped: a reset, not the end of the stream";
  }
  if (stop.ended) {
    bool clean_end = false;
    read_to_end(current, DEFAULT_DEADLINE, &clean_end);
    EXPECT_TRUE(clean_end) << "every byte it sent was served: the end of the stream";
  }
  // The wait for a peer's end is spent once per stop: a second for each silent client would
  // overrun this.
  EXPECT_EQ(exit_code(first, stop.silent > 0 ? 10s : DEFAULT_DEADLINE), STOPPED_BY_TERM);
  for (const int fd : silent) {
    bool clean_end = true;
    read_to_end(fd, DEFAULT_DEADLINE, &clean_end);
    EXPECT_FALSE(clean_end) << "a silent client cut by the stop is reset";
    close(fd);
  }
  if (stop.manager == manager_kind::keeps_nothing) {
    EXPECT_EQ(next_notification(manager), "READY=1");
    EXPECT_EQ(next_notification(manager), "STOPPING=1");
    EXPECT_EQ(next_notification(manager, nullptr, 0ms), "") << "nothing given to keep";
  }
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
  close(manager);
}

INSTANTIATE_TEST_SUITE_P(Servers, Stop, ::testing::ValuesIn(STOPS), CASE_NAME);

// A hand-on held by a peer that has stopped reading: the first signal waits for it (within the
// stop's deadline), a second ends the server at once, as a user pressing Ctrl-C twice means.
TEST_F(ProgramTest, SecondSignalEndsAHandOnAtOnce) {
  const child_process server = start_server(TALLY_BIN);
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(flood_until_blocked_in_write(server.pid, fd, "1+1"))
      << "the server never blocked on its write";
  kill(server.pid, SIGTERM);
  ASSERT_TRUE(wait_until([&] { return !signal_pending(server.pid, SIGTERM); }));
  EXPECT_TRUE(is_running(server)) << "the first signal must let the hand-on go on";
  kill(server.pid, SIGINT);
  EXPECT_EQ(exit_code(server), 128 + SIGINT);
  close_with_reset(fd);
}

// A second signal ends a stop at once, but never with a clean end over a chunk it could not copy:
// sink holds one that its full output cannot take, and its client has sent all and ended its side.
TEST_F(ProgramTest, SecondSignalResetsTheConnectionItCuts) {
  const child_process server = start_server(SINK_BIN, {.stdout_pipe = true});
  ASSERT_EQ(fcntl(server.stdout_fd, F_SETPIPE_SZ, 4096), 4096);
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  const auto in_output = [&] {
    int count = 0;
    return ioctl(server.stdout_fd, FIONREAD, &count) == 0 ? count : -1;
  };
  // One chunk at a time, so that nothing waits unread behind the one it holds.
  bool holding = false;
  for (int sent = 10; sent <= 8000 && !holding; sent += 10) {
    send_bytes(fd, "0123456789");
    ASSERT_TRUE(
        wait_until([&] { return in_output() == sent || blocked_in(server.pid, SYS_poll); }));
    holding = in_output() < sent;
  }
  ASSERT_TRUE(holding) << "the output never filled";
  shutdown(fd, SHUT_WR);
  kill(server.pid, SIGTERM);
  ASSERT_TRUE(wait_until([&] { return !signal_pending(server.pid, SIGTERM); }));
  kill(server.pid, SIGINT);
  EXPECT_EQ(exit_code(server), 128 + SIGINT);
  bool clean_end = true;
  read_to_end(fd, DEFAULT_DEADLINE, &clean_end);
  EXPECT_FALSE(clean_end) << "a chunk was lost behind the end of the stream";
  close(fd);
}

// A stop waits for its peer to acknowledge the answers before it resets; a peer that resets
// meanwhile ends that wait at once, and the client queued behind it is served, long before the
// deadline.
TEST_F(ProgramTest, PeerResetEndsTheStopsWaitForIt) {
  const child_process server = start_server(GLYPHS_BIN);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;  // far less than the answers: most stay unacknowledged at the server
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  const sockaddr_in address = address_of("127.0.0.1", SERVICE_PORT);
  ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  send_bytes(fd, std::string(120, 'a'));
  ASSERT_TRUE(wait_until([&] {
    return queued_bytes(side::server, queued::unread) == 0 &&
           queued_bytes(side::server, queued::unsent) > 0;
  })) << "answers never held up at the server";
  const int queued = connect_service_port();
  ASSERT_GE(queued, 0);
  send_bytes(queued, "a");
  shutdown(queued, SHUT_WR);
  ASSERT_TRUE(wait_until([&] { return unacknowledged_bytes(queued) == 0; }));
  kill(server.pid, SIGTERM);
  ASSERT_TRUE(wait_until([&] {
    return blocked_in(server.pid, SYS_clock_nanosleep) || blocked_in(server.pid, SYS_nanosleep);
  })) << "never waiting for the acknowledgements";
  close_with_reset(fd);
  bool clean_end = false;
  EXPECT_EQ(read_to_end(queued, DEFAULT_DEADLINE, &clean_end).size(), 1000U);
  EXPECT_TRUE(clean_end);
  EXPECT_EQ(exit_code(server), STOPPED_BY_TERM);
  close(queued);
}

// A client whose connection was queued on a passed socket before the server set its options on
// it (always the one that starts a socket-activated server) is served with them all the same.
TEST_F(ProgramTest, PassedSocketsFirstClientHasTheServersOptions) {
  const int held = listen_service_port();
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  send_bytes(fd, "ab");
  ASSERT_EQ(send(fd, "!", 1, MSG_OOB), 1);
  send_bytes(fd, "cd");
  spawn_options options;
  options.passed_sockets = {held};
  start(MIRROR_BIN, options);
  EXPECT_EQ(read_exact(fd, 5), "ab!cd") << "the urgent byte is an ordinary byte of the stream";
  close(fd);
  close(held);
}

// A client that ended its side with bytes still on their way (its kernel holds what the paused
// server's could not take) learns that they were dropped: a reset, never the end of the stream.
TEST_F(ProgramTest, StopResetsAnUploadItCutShort) {
  const child_process server = start_server(SINK_BIN);
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  serve_first(server, SINK_BIN, fd);
  kill(server.pid, SIGSTOP);
  ASSERT_TRUE(wait_until([&] { return is_stopped(server.pid); }));
  ASSERT_TRUE(set_blocking(fd, false));
  const std::string upload = repeated("0123456789", 3200000);
  std::size_t sent = 0;
  for (ssize_t count = 1; count > 0 && sent < upload.size();
       sent += static_cast<std::size_t>(count)) {
    count = std::max<ssize_t>(send(fd, upload.data() + sent, upload.size() - sent, 0), 0);
  }
  ASSERT_LT(sent, upload.size()) << "the upload must outgrow what the kernels hold";
  shutdown(fd, SHUT_WR);
  kill(server.pid, SIGTERM);
  kill(server.pid, SIGCONT);
  bool clean_end = true;
  read_to_end(fd, DEFAULT_DEADLINE, &clean_end);
  EXPECT_FALSE(clean_end) << "bytes were dropped behind the end of the stream";
  EXPECT_EQ(exit_code(server), STOPPED_BY_TERM);
  const std::string copied = read_file(server.stdout_path);
  EXPECT_TRUE(("<" + upload).starts_with(copied)) << copied.size() << " bytes copied";
  close(fd);
}

// A manager that holds the port (a socket unit's, or the one the server gave it) keeps the current
// connection across a restart: a stop stores it at once (to be reset if the manager closes it),
// and the next instance serves it from its next byte, then the clients queued meanwhile. A port
// the server gave the store is taken over by the next instance's own listening socket (the manager
// told to keep that one instead), the carried one served until it is empty, then closed.
struct carry_case {
  const char* name;
  bool restart;  // the manager passes the stored connection on; else closes it (a stop)
  bool own_listener = false;  // the server opens the port and gives it to the manager to hold
  bool lone = false;          // the port is closed by the restart (its socket unit stopped)
  bool unread = false;        // glyphs, its peer reading nothing: the stop finds it mid-answer
};

const carry_case CARRIES[] = {{.name = "restart", .restart = true},
                              {.name = "stop", .restart = false},
                              {.name = "own_listener", .restart = true, .own_listener = true},
                              {.name = "lone", .restart = true, .lone = true},
                              {.name = "glyphs_reading_nothing", .restart = true, .unread = true}};

void PrintTo(const carry_case& entry, std::ostream* out) {
  *out << entry.name;
}

class Carried : public ProgramTest, public ::testing::WithParamInterface<carry_case> {};

// The listening socket a server opened itself, as it hands it to the manager, named after the
// moment it did ("listener.<ms>", in `name`); -1 if it does not.
int stored_listener(int manager, std::string* name = nullptr) {
  int listener = -1;
  const std::string said = next_notification(manager, &listener);
  const std::string prefix = "FDSTORE=1\nFDNAME=listener.";
  EXPECT_TRUE(said.starts_with(prefix) && said.size() > prefix.size() &&
              said.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
      << said;
  if (name != nullptr) {
    *name = said.substr(said.find("listener."));
  }
  return listener;
}

int accept_queue(int listener) {
  tcp_info info{};
  socklen_t size = sizeof info;
  return getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &size) == 0
             ? static_cast<int>(info.tcpi_unacked)
             : -1;
}

ino_t inode_of(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 ? status.st_ino : 0;
}

int connect_with_small_window() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  const sockaddr_in address = address_of("127.0.0.1", SERVICE_PORT);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small) != 0 ||
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A glyphs stream served by two processes in turn: its sequence from the start, then, from the
// edge of a burst on, from the start again.
bool two_runs(const std::string& got) {
  const std::string once = glyph_sequence(0, got.size());
  const auto split = static_cast<std::size_t>(
      std::mismatch(got.begin(), got.end(), once.begin()).first - got.begin());
  return split == got.size() ||
         (split % 1000 == 0 &&
          got.compare(split, std::string::npos, glyph_sequence(0, got.size() - split)) == 0);
}

TEST_P(Carried, ConnectionOutlivesTheServer) {
  const carry_case& carry = GetParam();
  const char* program = carry.unread ? GLYPHS_BIN : SINK_BIN;
  constexpr std::size_t PROMPTS = 3000;
  std::string address;
  const int manager = notification_socket(&address);
  // The names last, as each start passes them.
  spawn_options options{.environment = {"NOTIFY_SOCKET=" + address, "FDSTORE=4",
                                        "LISTEN_FDNAMES=portkit-sink.socket"}};
  int held = -1;
  std::string held_name;
  if (!carry.own_listener) {
    held = listen_service_port();
    options.passed_sockets = {held};
  }
  if (carry.unread) {
    // Send buffers that cannot grow past 128 KiB (this namespace's own), so that the server
    // blocks mid-answer soon, with answers owed beyond all the kernels hold.
    std::ofstream("/proc/sys/net/ipv4/tcp_wmem") << "4096 16384 131072";
  }
  const child_process first = start(program, options);
  if (carry.own_listener) {
    held = stored_listener(manager, &held_name);
    ASSERT_GE(held, 0);
  }
  EXPECT_EQ(next_notification(manager), "READY=1");
  // A peer that reads nothing takes little: the answers soon fill what the kernels hold.
  const int fd = carry.unread ? connect_with_small_window() : connect_service_port();
  ASSERT_GE(fd, 0);
  int answer = -1;
  if (carry.unread) {
    send_bytes(fd, std::string(PROMPTS * CHUNK, '?'));
    ASSERT_TRUE(wait_until([&] { return sleeping_in(first.pid, SYS_write); }));
  } else {
    send_bytes(fd, "before");
    ASSERT_TRUE(wait_until([&] { return read_file(first.stdout_path) == "before"; }));
  }
  kill(first.pid, SIGTERM);
  EXPECT_EQ(next_notification(manager), "STOPPING=1");
  // A connection that owes the rest of an answer is named after the process, and the answer
  // after it: never one without the other.
  const std::string owing = carry.unread ? "." + std::to_string(first.pid) : "";
  int stored = -1;
  EXPECT_EQ(next_notification(manager, &stored), "FDSTORE=1\nFDNAME=connection" + owing);
  ASSERT_GE(stored, 0);
  if (carry.unread) {
    // Not watched: its writer gone, the pipe reports a hang-up, on which systemd drops a
    // descriptor.
    EXPECT_EQ(next_notification(manager, &answer),
              "FDSTORE=1\nFDNAME=answer" + owing + "\nFDPOLL=0");
  }
  // At once, waiting on no peer: a hang here would reach the deadline.
  EXPECT_EQ(exit_code(first, 10s), STOPPED_BY_TERM);
  if (!carry.unread) {
    send_bytes(fd, "across");  // stored: the next instance's to serve
    EXPECT_EQ(read_file(first.stdout_path), "before");
  }
  bool clean_end = false;
  if (!carry.restart) {
    close(stored);  // the manager discards its store
    read_to_end(fd, DEFAULT_DEADLINE, &clean_end);
    EXPECT_FALSE(clean_end) << "a connection that lost bytes is reset, never ended cleanly";
  } else {
    // Passed as systemd passes a store, each with the name it was given.
    options.passed_sockets = {held, stored};
    options.environment.back() = carry.own_listener
                                     ? "LISTEN_FDNAMES=" + held_name + ":connection"
                                     : "LISTEN_FDNAMES=portkit-sink.socket:connection" + owing;
    if (carry.unread) {
      options.passed_sockets.push_back(answer);
      options.environment.back() += ":answer" + owing;
    }
    if (carry.lone) {
      close(held);
      options.passed_sockets = {stored};
      options.environment.back() = "LISTEN_FDNAMES=connection";
    }
    // A client that comes while no server runs waits in the manager's queue.
    const int queued = carry.lone || carry.unread ? -1 : connect_service_port();
    if (queued >= 0) {
      send_bytes(queued, " queued");
      close(queued);
    }
    const child_process second = start(program, options);
    std::string carried_name;
    if (carry.lone) {
      held = stored_listener(manager);
    }
    if (carry.own_listener) {
      // A newer one of its own given to the store; the carried one, holding a client, left in
      // it as one being retired, its queue served first.
      const int carried = held;
      carried_name = held_name;
      held = stored_listener(manager, &held_name);
      EXPECT_GT(std::stol(held_name.substr(9)), std::stol(carried_name.substr(9)))
          << "named after a later moment";
      EXPECT_NE(inode_of(held), inode_of(carried)) << "one of its own instead";
      // Every new connection goes to it; the carried one (both held here, as a manager) keeps
      // only the client queued before.
      kill(second.pid, SIGSTOP);
      ASSERT_TRUE(wait_until([&] { return is_stopped(second.pid); }));
      const std::vector<int> meanwhile = connect_burst(5);
      EXPECT_EQ(accept_queue(carried), 1);
      EXPECT_EQ(accept_queue(held), 5);
      kill(second.pid, SIGCONT);
      for (const int client : meanwhile) {
        close(client);
      }
      close(carried);  // the manager's copy, given up
    }
    EXPECT_EQ(next_notification(manager), "FDSTOREREMOVE=1\nFDNAME=connection" + owing);
    if (carry.unread) {
      EXPECT_EQ(next_notification(manager), "FDSTOREREMOVE=1\nFDNAME=answer" + owing);
      close(answer);
    }
    EXPECT_EQ(next_notification(manager), "READY=1");
    close(stored);
    if (carry.unread) {
      // Every answer owed, whole and in order, the first instance's then the second's.
      const std::string got = read_exact(fd, PROMPTS * 1000);
      EXPECT_EQ(got.size(), PROMPTS * 1000);
      EXPECT_TRUE(two_runs(got)) << "not two runs of the sequence, split at a burst's edge";
      shutdown(fd, SHUT_WR);
      read_to_end(fd, DEFAULT_DEADLINE, &clean_end);
      EXPECT_TRUE(clean_end);
      close(fd);
      close(held);
      close(manager);
      return;
    }
    send_bytes(fd, " after");
    shutdown(fd, SHUT_WR);
    read_to_end(fd, DEFAULT_DEADLINE, &clean_end);
    EXPECT_TRUE(clean_end) << "served to its end by the next instance";
    std::string expected = carry.lone ? "across after" : "across after queued";
    EXPECT_TRUE(wait_until([&] { return read_file(second.stdout_path) == expected; }))
        << read_file(second.stdout_path);
    if (carry.own_listener) {
      // The carried socket retired once empty: out of the store, the port the new one's alone,
      // which serves.
      EXPECT_EQ(next_notification(manager), "FDSTOREREMOVE=1\nFDNAME=" + carried_name);
      EXPECT_TRUE(wait_until([] { return listening_sockets() == 1; }));
      const int later = connect_service_port();
      send_bytes(later, " later");
      close(later);
      expected += " later";
      EXPECT_TRUE(wait_until([&] { return read_file(second.stdout_path) == expected; }));
    }
  }
  close(fd);
  close(held);
  close(manager);
}

INSTANTIATE_TEST_SUITE_P(Manager, Carried, ::testing::ValuesIn(CARRIES), CASE_NAME);

// A server that cannot take the port tells the manager why, so that its status shows it.
TEST_F(ProgramTest, SetUpFailureIsToldToTheManager) {
  std::string address;
  const int manager = notification_socket(&address);
  const int held = listen_service_port();
  const child_process server = start(TALLY_BIN, {.environment = {"NOTIFY_SOCKET=" + address}});
  EXPECT_EQ(exit_code(server), 1);
  EXPECT_EQ(next_notification(manager), "STATUS=tally: bind: Address already in use\nERRNO=98");
  close(held);
  close(manager);
}

}  // namespace
