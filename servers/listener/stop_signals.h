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
// queue is left whole to the manager, which is told (notify_stopping); the deadline is armed. A
// second signal, or the deadline, ends the process at once, the connection being served reset.
void catch_stop_signals(int listener, bool held);

// The connection being served, that a stop must reach; -1 for none.
void set_current_connection(int connection);

// Under a manager that keeps descriptors and answers: the moment a stop is asked for, the
// connection being served (set_serving) has what is left of its answer diverted to a pipe, so
// that no write waits on its peer: its descriptor becomes the pipe's, and its socket is kept aside
// (take_diverted_socket), set to be reset if closed: however the process ends from there, its
// peer never takes a clean end for the answers it is owed. `spill_end` is that write end; call
// once, after catch_stop_signals.
void divert_answers_to(int spill_end);

// Whether the current connection is being served, so that its handler may be writing. Served
// once a stop is asked for, it is diverted at once.
void set_serving(bool is_serving);

// The socket of the connection whose answer went to the pipe, -1 when none did; taken once, and
// with it the pipe: no later connection is diverted.
int take_diverted_socket();

// Whether the current connection's answer went to the pipe, leaving the rest to the next instance.
bool answer_diverted();

bool stop_requested();

// Ends the process as the stop signal's default action would, so that shells and service
// managers see the usual status.
[[noreturn]] void end_as_stopped();
