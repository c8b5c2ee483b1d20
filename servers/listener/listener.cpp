#include "listener.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
// keeps them), with what is left of an answer in `answers` (a pipe's read end, -1 where it cannot
// keep that too), or given what is left of the stop's one wait for a peer's end on its way. The
// wait is spent once per stop, not per connection, so silent clients, however many, delay it
// little.
struct cut_policy {
  int carry_to;
  int answers;
  long wait_until_ms;  // on the monotonic clock; 0 until the first wait starts it
};

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

// A connection whose answer went to the pipe (its peer did not take it within the stop's wait)
// goes to the manager with the pipe, the answer first: the next instance sends the rest of it
// before anything else. Never ended cleanly here, with an answer owed; where the manager takes
// neither, it is reset, that answer lost.
void leave_with_answer(int connection, const cut_policy& policy) {
  set_option(connection, IPPROTO_TCP, TCP_CORK, 0);  // what it holds of the answer leaves
  if (!store_answer(policy.carry_to, policy.answers) ||
      !store_connection(policy.carry_to, connection)) {
    set_reset_on_close(connection, true);
    (void)close(connection);
  }
}

// Serves a connection to its end, what a previous instance owed it first, and closes it.
void serve_and_close(int connection, chunk_handler handler, cut_policy* policy,
                     const owed_answer* owed = nullptr) {
  set_current_connection(connection);
  set_serving(true);
  if (owed != nullptr && owed->length > 0) {
    (void)write_all(connection, owed->bytes, owed->length);  // a peer gone fails it: served so
  }
  serve_connection(connection, handler);
  set_serving(false);
  const int diverted = diverted_socket();
  if (diverted >= 0) {
    (void)close(connection);  // the pipe's, by now
    leave_with_answer(diverted, *policy);
  } else if (stop_requested()) {
    end_cut_short(connection, policy);
  } else {
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
int accept_queued(int listener, cut_policy* policy, accept_report* report) {
  for (;;) {
    const int connection = accept_waiting(listener, report);
    const int error = errno;
    if (connection >= 0 || error == EAGAIN || error == EWOULDBLOCK || wait_left_ms(policy) == 0) {
      return connection;
    }
    pause_after_failed_accept(error);
  }
}

// A listening socket of the process's own takes its queue with it when the process ends, so the
// clients queued there at the stop are served first, each as far as its bytes have arrived.
void hand_on_queue(int listener, chunk_handler handler, cut_policy* policy, accept_report* report) {
  for (int queued = queued_connections(listener); queued > 0; --queued) {
    const int connection = accept_queued(listener, policy, report);
    if (connection < 0) {
      return;
    }
    serve_and_close(connection, handler, policy);
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

}  // namespace

void run_listener(chunk_handler handler, bool output_needed) {
  ignore_output_signals();
  claim_standard_descriptors(output_needed);
  const int manager = connect_to_manager();
  const bool store = manager_keeps_descriptors(manager);
  const handed_over passed = take_handed_over(manager);
  listening port = take_port(manager, passed, store);
  // Connections already queued on a passed socket were made without the options: the first this
  // many accepted get them one by one (the queue is first in, first out).
  int without_options = 0;
  if (port.listener == passed.listener) {
    set_connection_options(port.listener);
    without_options = queued_connections(port.listener);
  }
  // A manager that keeps descriptors and holds the port keeps its queue across a restart, and so
  // the connection being served: a stop stores it for the next instance, with the rest of its
  // answer where the manager keeps that too.
  cut_policy policy{store && port.held ? manager : -1, -1, 0};
  catch_stop_signals(port.listener, port.held);
  if (policy.carry_to >= 0 && manager_keeps_answers(manager)) {
    keep_answers_in_a_pipe(&policy);
  }
  const owed_answer owed = passed.connection >= 0
                               ? take_carried(manager, passed.connection, passed.answer)
                               : owed_answer{};
  // Ready only once confined, so that a manager that sees it started sees it confined.
  confine_server(manager, policy.carry_to >= 0);
  notify_ready(manager);
  if (passed.connection >= 0 && !owed.whole) {
    set_reset_on_close(passed.connection, true);  // not to be served out of order
    (void)close(passed.connection);
  } else if (passed.connection >= 0) {
    set_connection_options(passed.connection);
    serve_and_close(passed.connection, handler, &policy, &owed);  // from its next unserved byte
  }
  accept_report report{manager, false};
  while (!stop_requested()) {
    const int connection = accept_next(&port, &report);
    if (connection < 0) {
      continue;
    }
    if (without_options > 0) {
      set_connection_options(connection);
      --without_options;
    }
    serve_and_close(connection, handler, &policy);
  }
  // A socket whoever passed it holds stays with them, queue and all, for the next instance; one
  // being retired is the process's own.
  if (port.retiring >= 0) {
    hand_on_queue(port.retiring, handler, &policy, &report);
  }
  if (!port.held) {
    hand_on_queue(port.listener, handler, &policy, &report);
  }
  end_as_stopped();
}
