// A stop asked for with SIGTERM or SIGINT: the listener hands on what has already arrived, then the
// process ends as the signal would have ended it, at the latest STOP_DEADLINE_S after the signal.
#pragma once

// However many peers stop reading or read slowly, and however slow standard output is, a stop
// ends this long after its first signal: within a service manager's stop timeout.
inline constexpr unsigned STOP_DEADLINE_S = 110;

// Unblocks and catches SIGTERM and SIGINT from here on (one that the process was started ignoring
// stays ignored). The first asks for a stop: the connection named by set_current_connection
// stops blocking, so that no call waits for bytes still to come, and so does `listener`, or, when
// a service manager holds it too (`held`), this process's descriptor of it is closed, so that its
// queue is left whole to the manager, which is told (notify_stopping). The deadline is
// armed then (after the wait for answers, where they are diverted). A second signal, or the
// deadline, ends the process at once, the connection being served reset.
void catch_stop_signals(int listener, bool held);

// Where a manager keeps descriptors, how long into a stop the answer being written may wait for a
// peer that does not take it, before it goes to the store with the connection.
inline constexpr unsigned ANSWER_WAIT_S = 1;

// The connection being served, that a stop must reach; -1 for none.
void set_current_connection(int connection);

// Under a manager that keeps descriptors: ANSWER_WAIT_S into a stop, the connection still being
// served (set_serving) has what is left of its answer diverted to a pipe, so
// that no write waits on its peer any more: its descriptor becomes the pipe's, and its socket is
// kept aside (diverted_socket). `spill_end` is that write end; call once, after
// catch_stop_signals.
void divert_answers_to(int spill_end);

// Whether the current connection is being served, so that its handler may be writing.
void set_serving(bool is_serving);

// The socket of the connection whose answer went to the pipe; -1 when none did.
int diverted_socket();

bool stop_requested();

// Ends the process as the stop signal's default action would, so that shells and service
// managers see the usual status.
[[noreturn]] void end_as_stopped();
