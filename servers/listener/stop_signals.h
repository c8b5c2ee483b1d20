// A stop asked for with SIGTERM or SIGINT: the listener hands on what has already arrived, then the
// process ends as the signal would have ended it.
#pragma once

// Catches SIGTERM and SIGINT from here on (one that the process was started ignoring stays
// ignored). The first asks for a stop: `listener`, and the connection named by
// set_current_connection, stop blocking, so that no call waits for bytes still to come. A second
// one ends the process at once.
void catch_stop_signals(int listener);

// The connection being served, that a stop must reach; -1 for none.
void set_current_connection(int connection);

bool stop_requested();

// Milliseconds left of `bound_ms` counted from the stop; 0 once it has passed.
int ms_left_since_stop(int bound_ms);

// Ends the process as the stop signal's default action would, so that shells and service
// managers see the usual status.
[[noreturn]] void end_as_stopped();
