#include "port.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>

#include "full_io.h"
#include "service_port.h"
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

// How long a carried listening socket is still served once the port is taken over: a handshake
// begun toward it before the kernel steered new ones away completes within a round trip, or,
// its answer lost once, within a second more.
constexpr long RETIRE_GRACE_MS = 3000;

// A listening socket on SERVICE_PORT; -1, with errno and `failed` naming the call, when it cannot
// be had. `shared`: beside another listening socket of this user's (SO_REUSEPORT).
int make_listening_socket(bool shared, const char** failed) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) {
    *failed = "socket";
    return -1;
  }
  // A restarted server takes the port at once, beside the connections its predecessor left
  // closing there; a server that still listens holds the port against a second one all the same.
  set_option(listener, SOL_SOCKET, SO_REUSEADDR, 1);
  if (shared) {
    set_option(listener, SOL_SOCKET, SO_REUSEPORT, 1);
  }
  set_connection_options(listener);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(SERVICE_PORT);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  *failed = "bind";
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    *failed = "listen";
    if (listen(listener, LISTEN_BACKLOG) == 0) {
      return listener;
    }
  }
  const int error = errno;
  (void)close(listener);
  errno = error;
  return -1;
}

int open_listening_socket(int manager) {
  const char* failed = nullptr;
  const int listener = make_listening_socket(false, &failed);
  if (listener < 0) {
    fail_setup(manager, failed, errno);
  }
  return listener;
}

// Every new connection of the port's reuse group goes to its second member, the socket just made;
// the carried one, first in the group, gets none.
bool steer_new_connections(int own) {
  sock_filter to_second[] = {{BPF_RET | BPF_K, 0, 0, 1}};
  const sock_fprog program{1, to_second};
  return setsockopt(own, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &program, sizeof program) == 0;
}

// A listening socket belongs for good to the control group of the process that made it, and a
// service manager attaches a unit's address rules (IPAddressAllow=, IPAddressDeny=) to the group
// of each instance: a socket carried across restarts keeps the rules of the instance that made
// it, whatever the unit says now. So this instance makes its own beside the carried one (the port
// shared for a moment), has the kernel steer every new connection to it, gives it to the store as
// the newer port socket, and retires the carried one: its queue served first, and left in the
// store meanwhile while it holds clients, so that a stop loses none of them. One message to the
// store makes the change (a newer one named after its making), so no moment of it loses anything.
// Where a step fails, the carried one is served as before.
listening take_over_port(int manager, int carried, const char* carried_name) {
  listening port{carried, true, -1, 0, false, "", true};
  const int on = 1;
  const char* failed = nullptr;
  const int own = setsockopt(carried, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0
                      ? make_listening_socket(true, &failed)
                      : -1;
  if (own < 0) {
    return port;
  }
  if (!steer_new_connections(own)) {
    // Nothing but the moment since it listened can have reached it.
    set_reset_on_close(own, true);
    (void)close(own);
    return port;
  }
  port.held = store_listener(manager, own);
  port.listener_stored = port.held;
  // An empty one is retired within its grace, unless a stop comes first: nothing to keep.
  port.retiring_held = queued_connections(carried) > 0;
  if (!port.retiring_held) {
    unstore(manager, carried_name);
  }
  port.listener = own;
  port.retiring = carried;
  (void)std::snprintf(port.retiring_name, sizeof port.retiring_name, "%s", carried_name);
  port.retire_at_ms = monotonic_ms() + RETIRE_GRACE_MS;
  (void)set_blocking(carried, false);
  return port;
}

void note_accepted(accept_report* report) {
  if (report->failing) {
    tell(report->manager, "accepting again", 0);
    report->failing = false;
  }
}

void note_failed(accept_report* report, int error) {
  if (!report->failing && error != EINTR && error != ECONNABORTED) {
    tell(report->manager, "accept", error);
    report->failing = true;
  }
}

void retire(listening* port, int manager) {
  if (port->retiring_held) {
    unstore(manager, port->retiring_name);
  }
  (void)close(port->retiring);
  port->retiring = -1;
  port->retiring_held = false;
  set_option(port->listener, SOL_SOCKET, SO_REUSEPORT, 0);
}

// A connection the socket being retired still holds; -1 once it is empty, and then, its grace
// over, it is retired.
int accept_retiring(listening* port, accept_report* report) {
  const int connection = accept_waiting(port->retiring, report);
  if (connection >= 0) {
    set_connection_options(connection);  // made before this instance: they may lack them
    return connection;
  }
  const int error = errno;
  if (error != EAGAIN && error != EWOULDBLOCK) {
    pause_after_failed_accept(error);
  } else if (monotonic_ms() >= port->retire_at_ms) {
    retire(port, report->manager);
  }
  return -1;
}

// Waits until either socket has a connection or the grace is over; true when the listener has one
// and the socket being retired, whose connections are older, none.
bool listener_first(const listening& port) {
  pollfd both[2] = {{port.listener, POLLIN, 0}, {port.retiring, POLLIN, 0}};
  const long left = std::max(port.retire_at_ms - monotonic_ms(), 0L);
  return poll(both, 2, static_cast<int>(left)) > 0 && both[1].revents == 0 &&
         (both[0].revents & POLLIN) != 0;
}

}  // namespace

void set_option(int fd, int level, int option, int value) {
  (void)setsockopt(fd, level, option, &value, sizeof value);
}

void set_connection_options(int socket) {
  // Answers are small and awaited: each leaves at once, unless batching holds it (the listener).
  set_option(socket, IPPROTO_TCP, TCP_NODELAY, 1);
  // An urgent byte is an ordinary byte of the stream: every byte reaches the handler.
  set_option(socket, SOL_SOCKET, SO_OOBINLINE, 1);
  set_option(socket, IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_IDLE_S);
  set_option(socket, IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_INTERVAL_S);
  set_option(socket, IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_PROBES);
  set_option(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
  set_option(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, STALL_BOUND_MS);
}

listening take_port(int manager, const handed_over& passed, long slots) {
  const bool store = slots >= STORE_FOR_CONNECTION;
  listening port{passed.listener,
                 store || passed.listener_named,
                 -1,
                 0,
                 false,
                 "",
                 passed.listener_ours && store};
  if (passed.retiring >= 0) {
    // A restart within the grace of the last one's takeover: its socket goes on being retired,
    // from where that grace began, and is kept in the store while it holds clients.
    port.retiring = passed.retiring;
    port.retiring_held = store;
    (void)std::snprintf(port.retiring_name, sizeof port.retiring_name, "%s", passed.retiring_name);
    port.retire_at_ms =
        (passed.listener_made_ms > 0 ? passed.listener_made_ms : monotonic_ms()) + RETIRE_GRACE_MS;
    (void)set_blocking(port.retiring, false);
    retire_when_empty(&port, manager);  // past its grace and empty: at once
  }
  // The port is taken over where the store has room for two port sockets beside a connection and
  // its answer, and no earlier one is still being retired: never more than two in use at once.
  if (passed.listener_ours && slots >= STORE_FOR_TAKEOVER && port.retiring < 0) {
    return take_over_port(manager, passed.listener, passed.listener_name);
  }
  if (passed.listener >= 0) {
    // A socket unit names every socket it passes and keeps it; a launcher that keeps no copy
    // (systemd-socket-activate) names none unless asked.
    return port;
  }
  port.listener = open_listening_socket(manager);
  port.held = store && store_listener(manager, port.listener);
  port.listener_stored = port.held;
  return port;
}

void retire_when_empty(listening* port, int manager) {
  if (port->retiring >= 0 && monotonic_ms() >= port->retire_at_ms &&
      queued_connections(port->retiring) == 0) {
    retire(port, manager);
  }
}

int queued_connections(int listener) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) {
    return 0;
  }
  return static_cast<int>(info.tcpi_unacked);  // on a listening socket: its accept queue
}

int accept_next(listening* port, accept_report* report) {
  for (;;) {
    if (port->retiring >= 0) {
      const int queued = accept_retiring(port, report);
      if (queued >= 0 || stop_requested()) {
        return queued;
      }
      if (port->retiring >= 0 && !listener_first(*port)) {
        continue;
      }
    }
    const int connection = accept(port->listener, nullptr, nullptr);
    if (connection >= 0) {
      note_accepted(report);
      return connection;
    }
    const int error = errno;
    if (stop_requested()) {
      return -1;
    }
    note_failed(report, error);
    pause_after_failed_accept(error);
  }
}

int accept_waiting(int listener, accept_report* report) {
  const int connection = accept(listener, nullptr, nullptr);
  const int error = errno;
  if (connection >= 0) {
    note_accepted(report);
  } else if (error != EAGAIN && error != EWOULDBLOCK) {
    note_failed(report, error);
  }
  errno = error;
  return connection;
}

void pause_after_failed_accept(int error) {
  // Only an interrupted call, or a connection aborted before it was taken, is retried at once.
  if (error != EINTR && error != ECONNABORTED) {
    const timespec pause{0, ACCEPT_PAUSE_NS};
    nanosleep(&pause, nullptr);
  }
}
