// Restarts in sequence under a manager's store, each meeting what the one before left: a takeover
// still retiring its socket, peers that read nothing, a connection carried with its answer. And
// what a store can hold that a server does not expect.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <fstream>

#include "full_io.h"
#include "harness.h"
#include "service_port.h"

namespace {

using namespace std::string_literals;

constexpr int STOPPED_BY_TERM = 128 + SIGTERM;

// A peer of mirror's: what it has sent, each byte its own mark, and how much of the echo it took.
struct peer {
  int fd;
  std::string sent;
  std::size_t taken;
};

std::string marked(std::size_t number, std::size_t size) {
  std::string bytes;
  while (bytes.size() < size) {
    bytes.append("<").append(std::to_string(number)).append(":");
    bytes.append(std::to_string(bytes.size())).append(">");
  }
  return bytes.substr(0, size);
}

// One step of a sequence: a peer of a kind connects, or the server restarts.
enum class step {
  served,       // sends, takes its echo, stays connected and silent
  queued,       // sends behind the one served, and waits
  not_reading,  // a 4 KiB window, sends far more than the kernels let mirror answer, reads nothing
  restart,      // SIGTERM, then the next instance on what the store keeps
  retired,      // the socket taken over is closed, whatever the server is serving meanwhile
};

struct sequence_case {
  const char* name;
  std::vector<step> steps;
};

const sequence_case SEQUENCES[] = {
    // The second and third restarts come inside the first's takeover, the client queued on the
    // carried socket still there behind the one served: it must neither be served out at a stop
    // nor overfill the store.
    {"restart_inside_takeover",
     {step::served, step::queued, step::restart, step::restart, step::restart}},
    // Each stop finds a peer that reads nothing mid-answer, with another behind it.
    {"two_not_reading",
     {step::not_reading, step::not_reading, step::queued, step::restart, step::restart}},
    // The port taken over while the carried client stays connected and silent: the socket taken
    // over, empty, is retired after its grace all the same, the port no longer shared.
    {"retired_while_serving", {step::served, step::restart, step::retired, step::queued}},
};

void PrintTo(const sequence_case& entry, std::ostream* out) {
  *out << entry.name;
}

class Sequence : public ProgramTest, public ::testing::WithParamInterface<sequence_case> {
 protected:
  child_process next_instance(stand_in_store* store) {
    const child_process server = start(MIRROR_BIN, passed_by(store));
    EXPECT_TRUE(store_hears(store, "READY=1")) << "never ready";
    return server;
  }
};

peer connect_peer(step kind, std::size_t number) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  const sockaddr_in address = address_of("127.0.0.1", SERVICE_PORT);
  if (kind == step::not_reading) {
    EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  }
  EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  peer client{fd, marked(number, kind == step::not_reading ? 60000 : 100), 0};
  send_bytes(fd, client.sent);
  if (kind == step::served) {
    EXPECT_EQ(read_exact(fd, client.sent.size()), client.sent);
    client.taken = client.sent.size();
  }
  EXPECT_TRUE(wait_until([&] { return unacknowledged_bytes(fd) == 0; })) << "not all arrived";
  return client;
}

TEST_P(Sequence, NothingLostMisdeliveredOrHeld) {
  std::ofstream("/proc/sys/net/ipv4/tcp_wmem") << "4096 4096 8192";  // answers block early
  stand_in_store store = open_store(4);
  child_process server = next_instance(&store);
  std::vector<peer> peers;
  for (const step kind : GetParam().steps) {
    if (kind == step::retired) {
      EXPECT_TRUE(wait_until([] { return listening_sockets() == 1; })) << "still shared";
      continue;
    }
    if (kind != step::restart) {
      peers.push_back(connect_peer(kind, peers.size()));
      continue;
    }
    kill(server.pid, SIGTERM);
    EXPECT_EQ(exit_code(server, 10s), STOPPED_BY_TERM) << "a peer held the stop";
    (void)store_hears(&store, "", 0ms);  // all it said before it ended
    server = next_instance(&store);
  }
  EXPECT_EQ(store.dropped, 0) << "more given to the store than it holds";
  // In the order they came, as the last instance serves them: each its own bytes only, all of
  // them, and a clean end after its own.
  for (const peer& client : peers) {
    shutdown(client.fd, SHUT_WR);
    bool clean_end = false;
    const std::string got = read_to_end(client.fd, DEFAULT_DEADLINE, &clean_end);
    const std::string owed = client.sent.substr(client.taken);
    EXPECT_TRUE(got == owed) << got.size() << " bytes of " << owed.size() << " owed, first "
                             << got.substr(0, 40);
    EXPECT_TRUE(clean_end);
    close(client.fd);
  }
  discard_store(&store);
  close(store.socket);
}

INSTANTIATE_TEST_SUITE_P(Mirror, Sequence, ::testing::ValuesIn(SEQUENCES), CASE_NAME);

// What a store may hold that a server does not expect, as a later or an earlier release, or a
// store put together by hand, leaves it: each such descriptor closed with one line (and taken out
// of the store), and the server starts and serves. A connection is served only with the rest of
// its answer, and that only with its own connection.
enum class handed {
  port,               // the port's listening socket
  connection,         // a connection: sent "abc", echoed by mirror unless dropped
  second_port,        // another listening socket, on another port
  second_connection,  // another connection
  pipe,               // a pipe holding "XX", as an answer's rest
  datagram,           // a UDP socket
};

struct unexpected_case {
  const char* name;
  std::vector<std::pair<handed, const char*>> passed;  // in order, with their names
  std::vector<std::string> said;  // on standard error, each line after "mirror: "
  std::string echoed;  // to the passed connection: "XXabc" with its answer, "" when reset
  std::vector<std::string> left = {"listener.<ms>"};  // what the store keeps once it serves
};

const unexpected_case UNEXPECTED[] = {
    // Passed by a launcher, unnamed, kept by nobody.
    {"two_ports",
     {{handed::port, ""}, {handed::second_port, ""}, {handed::connection, ""}},
     {"passed descriptor 4 (no name): a second listening socket, closed"},
     "abc",
     {}},
    {"two_connections",
     {{handed::connection, "connection"}, {handed::second_connection, "connection"}},
     {"passed descriptor 4 (connection): a second connection, closed"},
     "abc"},
    {"answer_without_its_connection",
     {{handed::port, "listener"}, {handed::connection, "connection"}, {handed::pipe, "answer.7"}},
     {"passed descriptor 5 (answer.7): an answer without its connection, closed"},
     "abc"},
    {"connection_without_its_answer",
     {{handed::port, "listener"}, {handed::connection, "connection.7"}},
     {"passed descriptor 4 (connection.7): a connection without the rest of its answer, closed"},
     ""},
    {"with_its_answer",
     {{handed::port, "listener"}, {handed::connection, "connection.7"}, {handed::pipe, "answer.7"}},
     {},
     "XXabc"},
    // Its own older port socket, empty and long past its grace, retired at once, and the port
    // taken over from the newer.
    {"two_of_its_own",
     {{handed::port, "listener.9"}, {handed::second_port, "listener.5"}, {handed::connection, ""}},
     {},
     "abc"},
    {"as_release_1_3_0_left_it",
     {{handed::port, "listener"}, {handed::pipe, "answer"}, {handed::connection, "connection"}},
     {},
     "XXabc"},
    {"a_later_release",
     {{handed::port, "listener"},
      {handed::datagram, "state"},
      {handed::pipe, "journal"},
      {handed::connection, "connection"}},
     {"passed descriptor 4 (state): neither a TCP socket nor a pipe, closed",
      "passed descriptor 5 (journal): an unknown name, closed"},
     "abc"},
};

void PrintTo(const unexpected_case& entry, std::ostream* out) {
  *out << entry.name;
}

// A descriptor of the kind, a connection's peer in `client`.
int descriptor_of(handed kind, int held, int* client) {
  int fd = -1;
  if (kind == handed::port) {
    fd = dup(held);
    EXPECT_TRUE(set_blocking(fd, false));  // as a takeover leaves it
  } else if (kind == handed::connection || kind == handed::second_connection) {
    const int peer = connect_service_port();
    fd = accept(held, nullptr, nullptr);
    *client = kind == handed::connection ? peer : *client;
  } else if (kind == handed::second_port) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(listen(fd, 1), 0);
  } else if (kind == handed::pipe) {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    EXPECT_EQ(write(ends[1], "XX", 2), 2);
    close(ends[1]);
    fd = ends[0];
  } else {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
  }
  return fd;
}

// The names the store keeps, a port socket's moment written as <ms>.
std::vector<std::string> names_kept(const stand_in_store& store) {
  std::vector<std::string> names;
  for (const stored_fd& entry : store.kept) {
    names.push_back(entry.name.starts_with("listener.") ? "listener.<ms>" : entry.name);
  }
  return names;
}

class Unexpected : public ProgramTest, public ::testing::WithParamInterface<unexpected_case> {};

TEST_P(Unexpected, IsClosedWithOneLineAndTheServerStarts) {
  const unexpected_case& store = GetParam();
  const int held = listen_service_port();
  int client = -1;
  stand_in_store manager = open_store(4);
  for (const auto& [kind, name] : store.passed) {
    // A pipe is kept unwatched (FDPOLL=0), as the server stores its answers.
    manager.kept.push_back({name, descriptor_of(kind, held, &client), kind != handed::pipe});
  }
  close(held);  // a copy passed where the port is: else the server opens it
  const child_process server = start(MIRROR_BIN, passed_by(&manager));
  std::erase_if(manager.kept, [](const stored_fd& entry) {
    return entry.name.empty() && close(entry.fd) == 0;  // a launcher keeps no copy
  });
  ASSERT_TRUE(store_hears(&manager, "READY=1")) << read_file(server.stderr_path);
  if (!store.echoed.empty()) {
    send_bytes(client, "abc");  // a reset one would take the reset for itself
    shutdown(client, SHUT_WR);
  }
  bool clean_end = false;
  EXPECT_EQ(read_to_end(client, DEFAULT_DEADLINE, &clean_end), store.echoed);
  EXPECT_EQ(clean_end, !store.echoed.empty()) << "reset only when it cannot be served in order";
  const int later = connect_service_port();
  send_bytes(later, "later");
  EXPECT_EQ(read_exact(later, 5), "later") << "it serves";
  close(later);
  // Asleep in accept, or in the poll that watches a socket being retired beside the port.
  EXPECT_TRUE(wait_until([&] {
    return sleeping_in(server.pid, SYS_accept) || sleeping_in(server.pid, SYS_accept4) ||
           sleeping_in(server.pid, SYS_poll);
  })) << "not waiting for the next client";
  std::string lines;
  for (const std::string& line : store.said) {
    lines += "mirror: " + line + "\n";
  }
  EXPECT_EQ(read_file(server.stderr_path), lines) << "one line each, and nothing failing since";
  (void)store_hears(&manager, "", 0ms);
  EXPECT_EQ(names_kept(manager), store.left) << "what it did not keep taken out of the store";
  EXPECT_EQ(manager.dropped, 0);
  close(client);
  discard_store(&manager);
  close(manager.socket);
}

INSTANTIATE_TEST_SUITE_P(Store, Unexpected, ::testing::ValuesIn(UNEXPECTED), CASE_NAME);

// Fills the manager's queue from another socket, as anyone who may write to it can; how many
// datagrams it took.
int flood(const stand_in_store& store) {
  sockaddr_un name{};
  name.sun_family = AF_UNIX;
  std::memcpy(name.sun_path + 1, store.address.data() + 1, store.address.size() - 1);
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + store.address.size());
  const int flooder = socket(AF_UNIX, SOCK_DGRAM, 0);
  int sent = 0;
  while (sent < 100000 && sendto(flooder, "flood", 5, MSG_DONTWAIT,
                                 reinterpret_cast<const sockaddr*>(&name), size) == 5) {
    ++sent;
  }
  close(flooder);
  return sent;
}

// A full queue at the manager delays what the server tells it, never loses it: readiness, the
// port and, at a stop, the connection given to the store.
TEST_F(ProgramTest, NotificationsWaitForRoomInAFullQueue) {
  stand_in_store store = open_store(4);
  ASSERT_GT(flood(store), 0);
  const child_process server = start(MIRROR_BIN, passed_by(&store));
  ASSERT_TRUE(wait_until([&] { return sleeping_in(server.pid, SYS_poll); }))
      << "not waiting for room";
  EXPECT_TRUE(store_hears(&store, "READY=1")) << "told once the queue drained";
  ASSERT_EQ(store.kept.size(), 1U);
  const int fd = connect_service_port();
  send_bytes(fd, "held");
  EXPECT_EQ(read_exact(fd, 4), "held");
  ASSERT_GT(flood(store), 0);
  kill(server.pid, SIGTERM);
  ASSERT_TRUE(wait_until([&] { return sleeping_in(server.pid, SYS_poll); }));
  EXPECT_TRUE(store_hears(&store, "STOPPING=1"));
  EXPECT_EQ(exit_code(server), 128 + SIGTERM);
  (void)store_hears(&store, "", 0ms);
  ASSERT_EQ(store.kept.size(), 2U);
  EXPECT_EQ(store.kept.back().name, "connection") << "the served client kept for the next";
  close(fd);
  discard_store(&store);
  close(store.socket);
}

// However a process ends after it took a carried connection out of the store, and before it
// served it, the peer never sees a clean end (it may be owed an answer): here a second signal,
// while the server waits for room to say it is ready.
TEST_F(ProgramTest, SecondSignalBeforeACarriedConnectionIsServedResets) {
  const int held = listen_service_port();
  int client = -1;
  stand_in_store store = open_store(4);
  // A socket unit's port, and the connection passed unnamed: nothing to say before READY=1.
  store.kept.push_back({"portkit-mirror.socket", descriptor_of(handed::port, held, &client), true});
  store.kept.push_back({"", descriptor_of(handed::connection, held, &client), true});
  set_reset_on_close(store.kept[1].fd, true);  // as a stop stores it
  close(held);
  ASSERT_GT(flood(store), 0);
  const child_process server = start(MIRROR_BIN, passed_by(&store));
  discard_store(&store);  // only the server's copies hold the connection now
  ASSERT_TRUE(wait_until([&] { return sleeping_in(server.pid, SYS_poll); }));
  kill(server.pid, SIGTERM);
  ASSERT_TRUE(wait_until([&] { return !signal_pending(server.pid, SIGTERM); }));
  kill(server.pid, SIGTERM);
  EXPECT_EQ(exit_code(server), 128 + SIGTERM);
  bool clean_end = true;
  EXPECT_EQ(read_to_end(client, DEFAULT_DEADLINE, &clean_end), "");
  EXPECT_FALSE(clean_end) << "never served: a reset, not the end of the stream";
  close(client);
  close(store.socket);
}

// A stop diverts sink's connection at once; should its output then fail, the client whose chunk
// was lost is reset all the same, never ended cleanly.
TEST_F(ProgramTest, OutputFailingAfterADivertResets) {
  stand_in_store store = open_store(4);
  spawn_options options = passed_by(&store);
  options.stdout_pipe = true;
  const child_process server = start(SINK_BIN, options);
  ASSERT_TRUE(store_hears(&store, "READY=1"));
  ASSERT_EQ(fcntl(server.stdout_fd, F_SETPIPE_SZ, 4096), 4096);
  const int fd = connect_service_port();
  send_bytes(fd, std::string(4100, 's'));  // its last chunk waits for room in the output
  ASSERT_TRUE(wait_until([&] { return sleeping_in(server.pid, SYS_poll); }));
  kill(server.pid, SIGTERM);
  ASSERT_TRUE(wait_until([&] { return !signal_pending(server.pid, SIGTERM); }));
  close(server.stdout_fd);  // its reader gone: the chunk is lost
  EXPECT_EQ(exit_code(server), 1);
  EXPECT_EQ(read_file(server.stderr_path), "sink: standard output: Broken pipe\n");
  bool clean_end = true;
  read_to_end(fd, DEFAULT_DEADLINE, &clean_end);
  EXPECT_FALSE(clean_end) << "a chunk was lost behind the end of the stream";
  close(fd);
  discard_store(&store);
  close(store.socket);
}

}  // namespace
