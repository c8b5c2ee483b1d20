// The port's side of a server: its listening sockets (its own, one passed, or one carried from an
// earlier instance and taken over), the options every connection gets, and accepting from them.
#pragma once

#include "service_manager.h"

// Sets an option where a failure costs latency, a bound or a restart's wait: the server runs
// anyway.
void set_option(int fd, int level, int option, int value);

// The options every connection gets: an urgent byte in its place, no delay for answers, and the
// bounds on a peer that vanishes or stops reading. Set once on a listening socket of the server's
// own, whose connections inherit them.
void set_connection_options(int socket);

// The listening sockets a server accepts from.
struct listening {
  int listener;  // the port's socket
  // Kept, queue and all, by whoever passed it or was given it (a manager that keeps descriptors,
  // or one that named it): a stop leaves its queue to them.
  bool held;
  // An earlier port socket of the server's own, taken over: still served until it is empty and
  // its grace is over; -1 none. Kept in the store meanwhile (`retiring_held`), so that a stop
  // leaves it, queue and all, to the next instance.
  int retiring;
  long retire_at_ms;  // on the monotonic clock
  bool retiring_held;
  char retiring_name[STORED_NAME_SIZE];  // its name in the store
  bool listener_stored;  // the port a socket of the server's own, in the manager's store
};

// Port sockets in the manager's descriptor store, taking its room.
inline int stored_port_sockets(const listening& port) {
  return (port.listener_stored ? 1 : 0) + (port.retiring_held ? 1 : 0);
}

// The port: the listening socket passed (held where the manager keeps descriptors, or named it),
// or one of the server's own (given to such a manager to hold). One the server's earlier instance
// made and the store carried is taken over by one of this instance's, where the store (`slots`
// descriptors) has room for both beside a connection and its answer, and no earlier takeover is
// still retiring one. A failed set-up ends the process.
listening take_port(int manager, const handed_over& passed, long slots);

// Connections that have completed their handshake and wait to be accepted.
int queued_connections(int listener);

// Failures of accept, told once when they start and once when accept works again.
struct accept_report {
  int manager;
  bool failing;
};

// The socket being retired, once its grace is over and its queue empty: taken out of the store,
// closed, and the port no longer shared. Whatever the server is doing meanwhile: serve_connection
// waits for a chunk no longer than the grace.
void retire_when_empty(listening* port, int manager);

// The next connection, those of a socket being retired first; -1 once a stop is asked for.
// Failures are retried, at once after an interrupted call or an aborted connection, else after a
// pause, so that a lasting one (no descriptors left) never becomes a busy loop.
int accept_next(listening* port, accept_report* report);

// After a stop: the next connection already queued on `listener` (made non-blocking), -1 once
// none is left or at a failure, which the caller may retry after pause_after_failed_accept.
int accept_waiting(int listener, accept_report* report);
void pause_after_failed_accept(int error);
