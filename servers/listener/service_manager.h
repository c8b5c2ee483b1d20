// Everything said to or taken from a service manager: the sockets it passes (LISTEN_PID,
// LISTEN_FDS), the notifications (NOTIFY_SOCKET): readiness, stopping, a failed set-up, and the
// sockets it keeps across a restart where it says it keeps them (FDSTORE). Outside a manager
// these do nothing and cost nothing.
#pragma once

#include <cstddef>

// The manager's notification socket, connected; -1 when there is none (no NOTIFY_SOCKET, or it
// cannot be reached: a server serves all the same). Call once standard descriptors are claimed.
int connect_to_manager();

// True when the manager states that it keeps descriptors for this service, room for the port and
// the connection being served (FDSTORE, the store's size, at least 2): then, and only then, it is
// trusted to hold a passed listening socket, and given the server's own and its connection.
// A notification socket alone (a hand-written unit, a script waiting for READY=1) keeps nothing.
bool manager_keeps_descriptors(int manager);

// True when that store also has room for what is left of an answer (3 or more): then a stop that
// finds a peer not taking its answer leaves the rest with the connection (stop_signals.h).
bool manager_keeps_answers(int manager);

// What a manager passed: a listening socket and, after a restart, the connection the previous
// instance stored; -1 for what was not passed. The listening socket's name (LISTEN_FDNAMES) tells
// whether the manager keeps it (a socket unit names every socket it passes), and whether it is
// one an earlier instance of the server made and gave the store.
struct handed_over {
  int listener;
  int connection;
  int answer;  // a pipe holding what the previous instance left of the answer it was writing
  bool listener_named;
  bool listener_ours;
};

// The listening socket (made blocking) and a stored connection, either or both. Anything else
// passed is a set-up failure. The connection stays in the store, to be reset if the manager closes
// it, until take_carried: a process that ends before it can serve it cuts nothing.
handed_over take_handed_over(int manager);

// Hands a listening socket the server opened itself to the manager, which keeps it, its port and
// its queue across a restart, as a socket unit does, and passes it to the next instance; true
// when it was sent. Once, at start.
bool store_listener(int manager, int listener);

// Takes the listening socket an earlier instance gave out of the store, so that another can take
// its place.
void remove_stored_listener(int manager);

// What a previous instance left of the answer it was writing: sent before anything else. It holds
// what one answer can leave; `whole` is false when the pipe held more, which no server here
// leaves, and the connection is then not served out of order but reset.
inline constexpr std::size_t OWED_CAPACITY = 4096;  // PIPE_BUF: the least any pipe holds
struct owed_answer {
  char bytes[OWED_CAPACITY];
  std::size_t length;
  bool whole;
};

// Takes the connection a previous instance stored, and the rest of its answer, out of the store:
// the connection made blocking and no longer reset on close (from here on its end is this
// process's), the answer read and its pipe closed. Call once the stop signals are caught.
owed_answer take_carried(int manager, int connection, int answer);

// Says "program: what[: reason]" on standard error and to the manager (STATUS=, and ERRNO= for
// a nonzero `error`), so that its status shows it.
void tell(int manager, const char* what, int error);

// The same for a failed set-up; then ends the process with status 1.
[[noreturn]] void fail_setup(int manager, const char* what, int error);

// The same for a failure that ends a server while it serves (its output failed), with the
// manager connect_to_manager reached.
[[noreturn]] void fail_serving(const char* what, int error);

// READY=1: the server accepts connections.
void notify_ready(int manager);

// STOPPING=1, to the manager connect_to_manager reached. Async-signal-safe: called from the stop
// signal's handler.
void notify_stopping();

// Hands the connection to the manager to keep for the next instance, marked to be reset when the
// manager closes it instead (a stop rather than a restart), so that no dropped byte ends behind a
// clean end; true when it was sent, and this process's descriptor then closed.
bool store_connection(int manager, int connection);

// Hands the manager the pipe that holds the rest of the connection's answer (its read end), to
// keep with the connection; true when it was sent, and this process's descriptor then closed.
bool store_answer(int manager, int pipe_end);
