#include "listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <ctime>
#include <limits>

#include "full_io.h"
#include "lingering_close.h"
#include "server_calls.h"
#include "service_manager.h"
#include "service_port.h"
#include "standard_descriptors.h"
#include "stop_signals.h"

namespace {

// All clients but one wait in this queue: the most the kernel allows (net.core.somaxconn caps it).
constexpr int LISTEN_BACKLOG = std::numeric_limits<int>::max();
constexpr long ACCEPT_PAUSE_NS = 100L * 1000L * 1000L;

// A peer whose host vanishes without a word (power lost, cable pulled) would hold this one-at-a-
// time server for good. After a minute of silence its kernel is asked, every 10 s; five probes
// unanswered and the connection is dropped: at most 110 s after the peer last spoke. A live
// peer's kernel answers the probes, so an idle session is never cut.
constexpr int KEEPALIVE_IDLE_S = 60;
constexpr int KEEPALIVE_INTERVAL_S = 10;
constexpr int KEEPALIVE_PROBES = 5;
// Keepalive stays silent while answer bytes are outstanding, so the same bound is given to them:
// an answer unacknowledged, or held back by a receive window kept shut, for 110 s drops the
// connection too. A peer that keeps reading, however slowly, reopens the window and is kept.
constexpr int STALL_BOUND_MS = (KEEPALIVE_IDLE_S + KEEPALIVE_INTERVAL_S * KEEPALIVE_PROBES) * 1000;
static_assert(STALL_BOUND_MS == STOP_DEADLINE_S * 1000,
              "a stop waits for a stalled peer no longer");

constexpr std::size_t NO_LIMIT = static_cast<std::size_t>(-1);

void set_option(int fd, int level, int option, int value) {
  // A failed option costs latency, a bound or a restart's wait; the server runs anyway.
  (void)setsockopt(fd, level, option, &value, sizeof value);
}

// Every accepted connection inherits these from the listening socket, so they are set once there;
// only connections that were queued before (on a passed socket) get them one by one.
void set_connection_options(int socket) {
  // Answers are small and awaited: each leaves at once, unless batching holds it (below).
  set_option(socket, IPPROTO_TCP, TCP_NODELAY, 1);
  // An urgent byte is an ordinary byte of the stream: every byte reaches the handler.
  set_option(socket, SOL_SOCKET, SO_OOBINLINE, 1);
  set_option(socket, IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_IDLE_S);
  set_option(socket, IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_INTERVAL_S);
  set_option(socket, IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_PROBES);
  set_option(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
  set_option(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, STALL_BOUND_MS);
}

int open_listening_socket(int manager) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) {
    fail_setup(manager, "socket", errno);
  }
  // A restarted server takes the port at once, beside the connections its predecessor left
  // closing there; a server that still listens holds the port against a second one all the same.
  set_option(listener, SOL_SOCKET, SO_REUSEADDR, 1);
  set_connection_options(listener);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(SERVICE_PORT);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fail_setup(manager, "bind", errno);
  }
  if (listen(listener, LISTEN_BACKLOG) != 0) {
    fail_setup(manager, "listen", errno);
  }
  return listener;
}

// Only an interrupted call, or a connection aborted before it was taken, is retried at once; any
// other error may persist (no descriptors, no memory, a filter refusing every call), so the retry
// waits and a lasting failure never becomes a busy loop.
void pause_after_failed_accept() {
  if (errno != EINTR && errno != ECONNABORTED) {
    const timespec pause{0, ACCEPT_PAUSE_NS};
    nanosleep(&pause, nullptr);
  }
}

// Waits for the next connection; -1 once a stop is asked for.
int accept_connection(int listener) {
  for (;;) {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection >= 0 || stop_requested()) {
      return connection;
    }
    pause_after_failed_accept();
  }
}

// After a stop the listening socket no longer blocks: the next queued connection, or -1 once
// none is left. Failures are retried as before the stop, within its deadline.
int accept_queued(int listener) {
  for (;;) {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
      return connection;
    }
    pause_after_failed_accept();
  }
}

// Once a stop is asked for, a connection is served no further than the bytes its kernel has
// already taken in: it stops blocking, and the count of those bytes bounds the rest.
std::size_t bytes_arrived(int connection) {
  int arrived = 0;
  if (!set_blocking(connection, false) || ioctl(connection, FIONREAD, &arrived) != 0 ||
      arrived < 0) {
    return 0;  // cannot be read without waiting: nothing more is taken
  }
  return static_cast<std::size_t>(arrived);
}

// Bytes known to wait in the connection behind the chunk just taken, given the count known before
// it. A short chunk took all there was. A count from FIONREAD stays true until that many bytes
// have been taken, so in a stream one query covers thousands of chunks.
std::size_t bytes_waiting(int connection, std::size_t taken, std::size_t known) {
  if (taken < static_cast<std::size_t>(CHUNK_SIZE)) {
    return 0;
  }
  if (known > taken) {
    return known - taken;
  }
  int waiting = 0;
  if (ioctl(connection, FIONREAD, &waiting) != 0 || waiting < 0) {
    return 0;  // not known: answer at once, as if nothing waited
  }
  return static_cast<std::size_t>(waiting);
}

// While more input waits, the answers to it are corked so that they leave together, in full
// segments; they are released before the listener can block for input, so no answer ever waits
// for the peer. Kept out of the never-returning loop so that the stack protector checks this
// frame, which holds what the peer sent, each time a connection ends.
[[gnu::noinline]] void serve_connection(int connection, chunk_handler handler) {
  char chunk[CHUNK_SIZE];
  std::size_t waiting = 0;
  bool held = false;
  std::size_t left = NO_LIMIT;  // bytes still to take, once a stop has bounded them
  for (;;) {
    if (left == NO_LIMIT && stop_requested()) {
      left = bytes_arrived(connection);
    }
    if (left == 0) {
      return;
    }
    const ssize_t count = recv_some(connection, chunk, sizeof chunk);
    if (count <= 0) {
      return;  // the peer has finished, the connection failed, or nothing more arrived by a stop
    }
    waiting = bytes_waiting(connection, static_cast<std::size_t>(count), waiting);
    if (waiting > 0 && !held) {
      set_option(connection, IPPROTO_TCP, TCP_CORK, 1);
      held = true;
    }
    handler(connection, chunk, static_cast<std::int32_t>(count));
    if (waiting == 0 && held) {
      set_option(connection, IPPROTO_TCP, TCP_CORK, 0);
      held = false;
    }
    if (left != NO_LIMIT) {
      left -= std::min(left, static_cast<std::size_t>(count));
    }
  }
}

// How a stop ends the connections it cuts short: left to the manager (`carry_to`, -1 where none
// keeps them), or given what is left of the stop's one wait for a peer's end on its way. The wait
// is spent once per stop, not per connection, so silent clients, however many, delay it little.
struct cut_policy {
  int carry_to;
  long wait_until_ms;  // on the monotonic clock; 0 until the first wait starts it
};

long monotonic_ms() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / (1000L * 1000L);
}

int wait_left_ms(cut_policy* policy) {
  const long now = monotonic_ms();
  if (policy->wait_until_ms == 0) {
    policy->wait_until_ms = now + PEER_END_WAIT_MS;
  }
  return static_cast<int>(std::clamp(policy->wait_until_ms - now, 0L, long{PEER_END_WAIT_MS}));
}

// A connection a stop cut short ends cleanly only when its peer is done. Otherwise it goes to the
// manager for the next instance, at once, since a stored connection loses nothing either way; or,
// where none keeps it, its end is given what is left of the wait before it is reset.
void end_cut_short(int connection, cut_policy* policy) {
  const bool carried = policy->carry_to >= 0;
  if (peer_is_done(connection, carried ? 0 : wait_left_ms(policy))) {
    close(connection);
  } else if (!carried || !store_connection(policy->carry_to, connection)) {
    close_with_reset(connection);
  }
}

void serve_and_close(int connection, chunk_handler handler, cut_policy* policy) {
  set_current_connection(connection);
  serve_connection(connection, handler);
  if (stop_requested()) {
    end_cut_short(connection, policy);
  } else {
    close(connection);
  }
  set_current_connection(-1);
}

// Connections that have completed their handshake and wait to be accepted.
int queued_connections(int listener) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) {
    return 0;
  }
  return static_cast<int>(info.tcpi_unacked);  // on a listening socket: its accept queue
}

// A listening socket of the process's own takes its queue with it when the process ends, so the
// clients queued there at the stop are served first, each as far as its bytes have arrived.
void hand_on_queue(int listener, chunk_handler handler, cut_policy* policy) {
  for (int queued = queued_connections(listener); queued > 0; --queued) {
    const int connection = accept_queued(listener);
    if (connection < 0) {
      return;
    }
    serve_and_close(connection, handler, policy);
  }
}

// The listening socket: the one passed, or one of the server's own. `held` tells whether a manager
// keeps it across restarts: only one that says it keeps descriptors (a launcher that passed the
// socket and keeps no copy does not), which is then given the server's own to keep.
int take_listening_socket(int manager, int passed, bool* held) {
  const bool keeps = manager_keeps_descriptors(manager);
  if (passed >= 0) {
    *held = keeps;
    return passed;
  }
  const int listener = open_listening_socket(manager);
  *held = keeps && store_listener(manager, listener);
  return listener;
}

// Set up: from here on, what the network sends can make the process do no more than serve it. A
// step of that which could not be taken is told once, as a failure is.
void confine_server(int manager, bool store) {
  const std::size_t count = store ? SERVER_CALL_COUNT : SERVER_CALL_COUNT - STORE_CALL_COUNT;
  const confinement_gaps gaps = confine(SERVER_CALLS, count);
  if (gaps.text[0] != '\0') {
    tell(manager, gaps.text, 0);
  }
}

}  // namespace

void run_listener(chunk_handler handler, bool output_needed) {
  ignore_sigpipe();
  claim_standard_descriptors(output_needed);
  const int manager = connect_to_manager();
  const handed_over passed = take_handed_over(manager);
  bool held = false;
  const int listener = take_listening_socket(manager, passed.listener, &held);
  // Connections already queued on a passed socket were made without the options: the first this
  // many accepted get them one by one (the queue is first in, first out).
  int without_options = 0;
  if (passed.listener >= 0) {
    set_connection_options(listener);
    without_options = queued_connections(listener);
  }
  // A manager that holds the port keeps its queue across a restart, and so the connection being
  // served: a stop stores it for the next instance.
  cut_policy policy{held ? manager : -1, 0};
  catch_stop_signals(listener, held);
  if (passed.connection >= 0) {
    take_carried(manager, passed.connection);
  }
  // Ready only once confined, so that a manager that sees it started sees it confined.
  confine_server(manager, policy.carry_to >= 0);
  notify_ready(manager);
  if (passed.connection >= 0) {
    set_connection_options(passed.connection);
    serve_and_close(passed.connection, handler, &policy);  // from its next unserved byte
  }
  while (!stop_requested()) {
    const int connection = accept_connection(listener);
    if (connection < 0) {
      continue;
    }
    if (without_options > 0) {
      set_connection_options(connection);
      --without_options;
    }
    serve_and_close(connection, handler, &policy);
  }
  // A socket the manager holds stays with it, queue and all, for the next instance.
  if (!held) {
    hand_on_queue(listener, handler, &policy);
  }
  end_as_stopped();
}
