// Everything said to or taken from a service manager: the sockets it passes (LISTEN_PID,
// LISTEN_FDS, LISTEN_FDNAMES), the notifications (NOTIFY_SOCKET): readiness, stopping, a failed
// set-up, and the descriptors it keeps across a restart where it says it keeps them (FDSTORE).
// Outside a manager these do nothing and cost nothing.
#pragma once

#include <cstddef>

// What a descriptor store must hold at once, by what the server keeps in it: the port (a socket of
// the server's own) and the connection being served; the rest of that connection's answer; and a
// port socket of an earlier instance's, being retired while its queue is served (the takeover).
inline constexpr long STORE_FOR_CONNECTION = 2;
inline constexpr long STORE_FOR_ANSWERS = 3;
inline constexpr long STORE_FOR_TAKEOVER = 4;

// A notification meets a full queue at the manager (a slow manager, or a flood from anyone who
// may write to its socket): it waits for room this long, the stop's deadline, before it is given
// up.
inline constexpr int NOTIFY_WAIT_MS = 110 * 1000;

// The manager's notification socket, connected; -1 when there is none (no NOTIFY_SOCKET, or it
// cannot be reached: a server serves all the same). Call once standard descriptors are claimed.
int connect_to_manager();

// The size of the descriptor store the manager states (FDSTORE); 0 for none, or no manager. A
// notification socket alone (a hand-written unit, a script waiting for READY=1) keeps nothing.
// The server trusts a store only with what fits: it stores nothing beyond this many descriptors.
long store_size(int manager);

// What a manager passed, each -1 where none was: the port's listening socket, an earlier one of
// the server's own still being retired (`retiring`), and after a restart the connection the
// previous instance stored with, where it left one, the rest of its answer in a pipe. The port's
// name (LISTEN_FDNAMES) tells whether the manager keeps it (a socket unit names every socket it
// passes), and whether it is one an earlier instance of the server made and gave the store: the
// server names each of its own after the moment it made it ("listener.<ms>", on the monotonic
// clock), so that of two passed the newer is the port and the older the one being retired,
// whose grace began when the newer was made.
inline constexpr std::size_t STORED_NAME_SIZE = 32;
struct handed_over {
  int listener;
  int retiring;
  int connection;
  int answer;
  bool listener_named;
  bool listener_ours;
  long listener_made_ms;                 // when an earlier instance made it; 0 where not known
  char listener_name[STORED_NAME_SIZE];  // its name in the store, where it is the server's own
  char retiring_name[STORED_NAME_SIZE];
  char connection_name[STORED_NAME_SIZE];  // its name in the store, to take it out by
  char answer_name[STORED_NAME_SIZE];
};
// Sorts what was passed by kind and name. A descriptor it does not expect (another kind, an
// unknown name, one too many of a kind, an answer without its connection) is closed, and taken
// out of the store, with one line each; a connection whose answer is missing is reset, never
// served out of order. So a start never fails for what the store holds, whatever release left
// it. The port's socket is made blocking. The connection and its answer stay in the store, to be
// reset if the manager closes them, until take_carried: a process that ends before it can serve
// them cuts nothing.
handed_over take_handed_over(int manager);

// Hands a listening socket the server opened itself to the manager, which keeps it, its port and
// its queue across a restart, as a socket unit does, and passes it to the next instance; named
// after the moment it is given. True when it was sent.
bool store_listener(int manager, int listener);

// Takes what the store keeps under `name` out of it: a port socket retired, or one taken over
// that holds no client; a connection or answer taken back.
void unstore(int manager, const char* name);

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
// the connection made blocking, still set to be reset if closed until it is served to its end
// (however this process ends before, its peer never takes a clean end for what it is owed), the
// answer read and its pipe closed. Call once the stop signals are caught.
owed_answer take_carried(int manager, const handed_over& passed);

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
// signal's handler, which cannot wait for room in a full queue; what it could not send there is
// sent by settle_stopping, and before any later notification.
void notify_stopping();
void settle_stopping();

// Hands the connection to the manager to keep for the next instance, marked to be reset when the
// manager closes it instead (a stop rather than a restart), so that no dropped byte ends behind a
// clean end; true when it was sent, and this process's descriptor then closed. `owes_answer`: its
// answer's rest follows (store_answer), named after it, and the next instance serves the
// connection only with it.
bool store_connection(int manager, int connection, bool owes_answer);

// Hands the manager the pipe that holds the rest of the answer of the connection just stored
// (its read end), to keep with it; true when it was sent, and this process's descriptor then
// closed. Where it cannot be sent, the connection is taken out of the store again: reset, rather
// than served out of order.
bool store_answer(int manager, int pipe_end);
