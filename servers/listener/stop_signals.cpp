#include "stop_signals.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "full_io.h"

namespace {

constexpr int STOP_SIGNALS[] = {SIGTERM, SIGINT};

// What the signal handler reaches: the stop, when it came, and the listener's two sockets.
volatile std::sig_atomic_t stop_signal = 0;
volatile std::sig_atomic_t stop_second = 0;
volatile std::sig_atomic_t listening_socket = -1;
volatile std::sig_atomic_t current_connection = -1;

int monotonic_second() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int>(now.tv_sec);
}

// The signal's default action, at once or, inside its handler, as soon as the handler returns.
void reraise(int number) {
  (void)signal(number, SIG_DFL);
  (void)raise(number);
}

// Only async-signal-safe calls here. A call blocked on the sockets returns EINTR (no SA_RESTART),
// and one about to block finds them non-blocking, so the listener sees the stop at once.
extern "C" void on_stop_signal(int number) {
  if (stop_signal != 0) {
    reraise(number);  // a second one
    return;
  }
  const int saved_errno = errno;
  stop_second = monotonic_second();
  stop_signal = number;
  (void)set_blocking(listening_socket, false);
  (void)set_blocking(current_connection, false);
  errno = saved_errno;
}

}  // namespace

void catch_stop_signals(int listener) {
  listening_socket = listener;
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  (void)sigemptyset(&action.sa_mask);
  for (const int number : STOP_SIGNALS) {
    (void)sigaddset(&action.sa_mask, number);
  }
  for (const int number : STOP_SIGNALS) {
    struct sigaction previous {};
    // A shell starts background jobs ignoring SIGINT, so that Ctrl-C leaves them alone.
    if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      (void)sigaction(number, &action, nullptr);
    }
  }
}

void set_current_connection(int connection) {
  current_connection = connection;
}

bool stop_requested() {
  return stop_signal != 0;
}

int ms_left_since_stop(int bound_ms) {
  const int left_ms = bound_ms - (monotonic_second() - stop_second) * 1000;
  return left_ms > 0 ? left_ms : 0;
}

void end_as_stopped() {
  const int number = stop_signal;
  reraise(number);
  // Not reached: the signal is neither blocked nor ignored here.
  // cppcheck-suppress unreachableCode
  std::_Exit(128 + number);
}
