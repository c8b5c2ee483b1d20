#include "stop_signals.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "full_io.h"
#include "service_manager.h"

namespace {

constexpr int STOP_SIGNALS[] = {SIGTERM, SIGINT};

// What the signal handlers reach: the stop, the listener's two sockets, and where an answer goes
// when its connection is left to the next instance.
volatile std::sig_atomic_t stop_signal = 0;
volatile std::sig_atomic_t listening_socket = -1;
volatile std::sig_atomic_t listening_socket_held = 0;
volatile std::sig_atomic_t current_connection = -1;
volatile std::sig_atomic_t serving = 0;
volatile std::sig_atomic_t spill = -1;
volatile std::sig_atomic_t diverted = -1;

// The signal's default action, at once or, inside its handler, as soon as the handler returns.
void reraise(int number) {
  (void)signal(number, SIG_DFL);
  (void)raise(number);
}

// Only async-signal-safe calls here. A call blocked on the sockets returns EINTR (no SA_RESTART),
// and one about to start finds them non-blocking, or the held one gone, so the listener sees the
// stop at once and takes no further client.
// The connection being served is cut: the peer must not see the end of the stream.
void end_at_once(int number) {
  set_reset_on_close(diverted >= 0 ? diverted : current_connection, true);
  reraise(number);
}

// The rest of the answer being written goes to the pipe rather than to a peer that may not take
// it: the connection's descriptor is made the pipe's (a write blocked on it returns EINTR, and is
// retried there; the next read fails, which ends its service), and its socket is kept aside under
// another.
void divert_answer() {
  const int connection = current_connection;
  if (spill < 0 || connection < 0 || serving == 0 || diverted >= 0) {
    return;
  }
  const int socket = dup(connection);
  if (socket < 0) {
    return;  // no descriptor to spare: the answer waits for its peer, within the deadline
  }
  if (dup3(spill, connection, O_CLOEXEC) < 0) {
    (void)close(socket);
    return;
  }
  set_reset_on_close(socket, true);
  diverted = socket;
}

extern "C" void on_stop_signal(int number) {
  if (stop_signal != 0) {
    end_at_once(number);  // a second one
    return;
  }
  const int saved_errno = errno;
  stop_signal = number;
  (void)alarm(STOP_DEADLINE_S);
  notify_stopping();
  if (listening_socket_held != 0) {
    (void)close(listening_socket);  // the manager keeps its own descriptor, queue and all
  } else {
    (void)set_blocking(listening_socket, false);
  }
  (void)set_blocking(current_connection, false);
  divert_answer();
  errno = saved_errno;
}

// The stop's deadline: the process ends as the stop signal would have ended it.
extern "C" void on_deadline(int number) {
  end_at_once(stop_signal != 0 ? stop_signal : number);
}

// The signals whose handlers must not interrupt each other.
sigset_t stop_and_deadline_signals() {
  sigset_t signals;
  (void)sigemptyset(&signals);
  for (const int number : STOP_SIGNALS) {
    (void)sigaddset(&signals, number);
  }
  (void)sigaddset(&signals, SIGALRM);
  return signals;
}

void catch_signal(int number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_mask = stop_and_deadline_signals();
  (void)sigaction(number, &action, nullptr);
}

}  // namespace

void catch_stop_signals(int listener, bool held) {
  listening_socket = listener;
  listening_socket_held = held ? 1 : 0;
  catch_signal(SIGALRM, on_deadline);
  for (const int number : STOP_SIGNALS) {
    struct sigaction previous {};
    // A shell starts background jobs ignoring SIGINT, so that Ctrl-C leaves them alone.
    if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      catch_signal(number, on_stop_signal);
    }
  }
  // Launchers and scripts may start a program with these blocked; a stop must still reach it.
  const sigset_t signals = stop_and_deadline_signals();
  (void)sigprocmask(SIG_UNBLOCK, &signals, nullptr);
}

void set_current_connection(int connection) {
  current_connection = connection;
}

void divert_answers_to(int spill_end) {
  spill = spill_end;
}

void set_serving(bool is_serving) {
  serving = is_serving ? 1 : 0;
  if (is_serving && stop_signal != 0) {
    // A stop that came before it was served: diverted now, as the handler would have.
    const sigset_t signals = stop_and_deadline_signals();
    sigset_t previous;
    (void)sigprocmask(SIG_BLOCK, &signals, &previous);
    (void)set_blocking(current_connection, false);
    divert_answer();
    (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
  }
}

int take_diverted_socket() {
  const int socket = diverted;
  if (socket >= 0) {
    diverted = -1;
    spill = -1;  // its pipe leaves with this connection's answer
  }
  return socket;
}

bool answer_diverted() {
  return diverted >= 0;
}

bool stop_requested() {
  return stop_signal != 0;
}

void end_as_stopped() {
  const int number = stop_signal;
  reraise(number);
  // Not reached: the signal is neither blocked nor ignored here.
  // cppcheck-suppress unreachableCode
  std::_Exit(128 + number);
}
