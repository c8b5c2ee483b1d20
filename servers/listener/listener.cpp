#include "listener.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "full_io.h"
#include "lingering_close.h"
#include "port.h"
#include "server_calls.h"
#include "service_manager.h"
#include "standard_descriptors.h"
#include "stop_signals.h"

namespace {

constexpr std::size_t NO_LIMIT = static_cast<std::size_t>(-1);

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

// How a stop ends the connections it cuts short: left to the manager (`carry_to`, -1 where none
// keeps them), with what is left of an answer in `answers` (a pipe's read end, -1 where it cannot
// keep that too), or given what is left of the stop's one wait for a peer's end on its way. The
// wait is spent once per stop, not per connection, so silent clients, however many, delay it
// little.
struct cut_policy {
  int carry_to;
  int answers;
  long wait_until_ms;  // on the monotonic clock; 0 until the first wait starts it
};

// What serving needs besides the connection in hand.
struct server {
  chunk_handler handler;
  int manager;
  listening port;
  cut_policy policy;
  accept_report report;
};

// While a socket taken over is in its grace, the wait for a chunk lasts no longer than the grace:
// then that socket is retired if it is empty, however long this connection stays silent. Bytes
// already known to wait need no wait; a stop's signal ends it.
void wait_past_retirement(int connection, server* serving) {
  listening& port = serving->port;
  const long left = port.retiring >= 0 ? port.retire_at_ms - monotonic_ms() : 0;
  if (left <= 0 || stop_requested()) {
    return;
  }
  pollfd entry{connection, POLLIN, 0};
  if (poll(&entry, 1, static_cast<int>(left)) == 0) {
    retire_when_empty(&port, serving->manager);
  }
}

// While more input waits, the answers to it are corked so that they leave together, in full
// segments; they are released before the listener can block for input, so no answer ever waits
// for the peer. Kept out of the never-returning loop so that the stack protector checks this
// frame, which holds what the peer sent, each time a connection ends.
[[gnu::noinline]] void serve_connection(int connection, server* serving) {
  char chunk[CHUNK_SIZE];
  std::size_t waiting = 0;
  bool held = false;
  std::size_t left = NO_LIMIT;  // bytes still to take, once a stop has bounded them
  for (;;) {
    if (left == NO_LIMIT && stop_requested()) {
      settle_stopping();
      // Its answer's rest went to the pipe: what is unread is the next instance's.
      left = answer_diverted() ? 0 : bytes_arrived(connection);
    }
    if (left == 0) {
      return;
    }
    if (waiting == 0) {
      wait_past_retirement(connection, serving);
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
    serving->handler(connection, chunk, static_cast<std::int32_t>(count));
    if (waiting == 0 && held) {
      set_option(connection, IPPROTO_TCP, TCP_CORK, 0);
      held = false;
    }
    if (left != NO_LIMIT) {
      left -= std::min(left, static_cast<std::size_t>(count));
    }
  }
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
    set_reset_on_close(connection, false);  // one carried or diverted is set to reset till now
    close(connection);
  } else if (!carried || !store_connection(policy->carry_to, connection, false)) {
    close_with_reset(connection);
  }
}

bool pipe_holds_bytes(int pipe_end) {
  int count = 0;
  return ioctl(pipe_end, FIONREAD, &count) == 0 && count > 0;
}

// A connection whose answer went to the pipe at the stop goes to the manager with the pipe, the
// connection first, the answer named after it: the next instance sends the rest of the answer
// before anything else, and never serves the connection without it. An empty pipe owes nothing:
// the connection is cut short as any other. Never ended cleanly here with an answer owed; where
// the manager takes neither, it is reset, that answer lost.
void leave_with_answer(int connection, cut_policy* policy) {
  set_option(connection, IPPROTO_TCP, TCP_CORK, 0);  // what it holds of the answer leaves
  if (!pipe_holds_bytes(policy->answers)) {
    end_cut_short(connection, policy);
    return;
  }
  if (!store_connection(policy->carry_to, connection, true)) {
    set_reset_on_close(connection, true);
    (void)close(connection);
  } else if (!store_answer(policy->carry_to, policy->answers)) {
    (void)close(policy->answers);
  }
  policy->answers = -1;
}

// Serves a connection to its end, what a previous instance owed it first, and closes it.
void serve_and_close(int connection, server* serving, const owed_answer* owed = nullptr) {
  set_current_connection(connection);
  set_serving(true);
  if (owed != nullptr && owed->length > 0) {
    (void)write_all(connection, owed->bytes, owed->length);  // a peer gone fails it: served so
  }
  serve_connection(connection, serving);
  set_serving(false);
  const int diverted = take_diverted_socket();
  if (diverted >= 0) {
    (void)close(connection);  // the pipe's, by now
    leave_with_answer(diverted, &serving->policy);
  } else if (stop_requested()) {
    end_cut_short(connection, &serving->policy);
  } else {
    if (owed != nullptr) {
      set_reset_on_close(connection, false);  // carried: reset till served to its end
    }
    close(connection);
  }
  set_current_connection(-1);
}

// Under a manager that keeps answers too, a pipe for what is left of one at a stop: its write end
// to the stop signals, its read end to the policy. Without one, answers wait for their peers.
void keep_answers_in_a_pipe(cut_policy* policy) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) == 0) {
    policy->answers = ends[0];
    divert_answers_to(ends[1]);
  }
}

// After a stop the listening socket no longer blocks: the next queued connection, or -1 once
// none is left. Failures are retried as before the stop, but no longer than the stop's one wait:
// the connections still queued are then reset as the process ends.
int accept_queued(int listener, server* serving) {
  for (;;) {
    const int connection = accept_waiting(listener, &serving->report);
    const int error = errno;
    if (connection >= 0 || error == EAGAIN || error == EWOULDBLOCK ||
        wait_left_ms(&serving->policy) == 0) {
      return connection;
    }
    pause_after_failed_accept(error);
  }
}

// A listening socket of the process's own takes its queue with it when the process ends, so the
// clients queued there at the stop are served first, each as far as its bytes have arrived, and
// ended as by hand: no manager keeps them.
void hand_on_queue(int listener, server* serving) {
  serving->policy.carry_to = -1;
  divert_answers_to(-1);
  for (int queued = queued_connections(listener); queued > 0; --queued) {
    const int connection = accept_queued(listener, serving);
    if (connection < 0) {
      return;
    }
    serve_and_close(connection, serving);
  }
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

// The connection a previous instance left, served first from its next unserved byte, what it owed
// of an answer before anything else; reset where that cannot be whole, rather than served out of
// order.
void serve_carried(int connection, const owed_answer& owed, server* serving) {
  if (!owed.whole) {
    set_reset_on_close(connection, true);
    (void)close(connection);
    return;
  }
  set_connection_options(connection);
  serve_and_close(connection, serving, &owed);
}

}  // namespace

void run_listener(chunk_handler handler, bool output_needed) {
  ignore_output_signals();
  claim_standard_descriptors(output_needed);
  const int manager = connect_to_manager();
  const long slots = store_size(manager);
  const handed_over passed = take_handed_over(manager);
  server serving{
      handler, manager, take_port(manager, passed, slots), {-1, -1, 0}, {manager, false}};
  listening& port = serving.port;
  // Connections already queued on a passed socket were made without the options: the first this
  // many accepted get them one by one (the queue is first in, first out).
  int without_options = 0;
  if (port.listener == passed.listener) {
    set_connection_options(port.listener);
    without_options = queued_connections(port.listener);
  }
  // A manager that keeps descriptors and holds the port keeps its queue across a restart, and so
  // the connection being served, where its store has room beside the port's sockets: a stop
  // stores it for the next instance, with the rest of its answer where there is room for that too.
  const long room = slots - stored_port_sockets(port);
  if (slots >= STORE_FOR_CONNECTION && port.held && room >= 1) {
    serving.policy.carry_to = manager;
  }
  catch_stop_signals(port.listener, port.held);
  if (serving.policy.carry_to >= 0 && room >= 2) {
    keep_answers_in_a_pipe(&serving.policy);
  }
  const owed_answer owed = passed.connection >= 0 ? take_carried(manager, passed) : owed_answer{};
  // Ready only once confined, so that a manager that sees it started sees it confined.
  confine_server(manager, serving.policy.carry_to >= 0);
  notify_ready(manager);
  if (passed.connection >= 0) {
    serve_carried(passed.connection, owed, &serving);
  }
  while (!stop_requested()) {
    const int connection = accept_next(&port, &serving.report);
    if (connection < 0) {
      continue;
    }
    if (without_options > 0) {
      set_connection_options(connection);
      --without_options;
    }
    serve_and_close(connection, &serving);
  }
  settle_stopping();
  // A socket whoever passed it holds stays with them, queue and all, for the next instance, and
  // so does one being retired that the store keeps; the rest are the process's own.
  if (port.retiring >= 0 && !port.retiring_held) {
    hand_on_queue(port.retiring, &serving);
  }
  if (!port.held) {
    hand_on_queue(port.listener, &serving);
  }
  end_as_stopped();
}
