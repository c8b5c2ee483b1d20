#include "full_io.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <ctime>

bool write_all(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, data, length);
    if (written > 0) {
      data += written;
      length -= static_cast<std::size_t>(written);
      continue;
    }
    // A non-blocking descriptor that is full is waited on, never taken for a failed one. One whose
    // reader has gone polls ready, and the write that follows says why it failed.
    if (written < 0 && (errno == EINTR || (errno == EAGAIN && wait_ready(fd, POLLOUT, -1)))) {
      continue;
    }
    return false;  // a zero-byte write of a non-empty buffer would only repeat itself
  }
  return true;
}

bool wait_ready(int fd, short events, int timeout_ms) {
  pollfd entry{fd, events, 0};
  int ready = 0;
  do {
    ready = poll(&entry, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

long monotonic_ms() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / (1000L * 1000L);
}

void ignore_output_signals() {
  // Only fails for an invalid signal number, which these are not.
  (void)signal(SIGPIPE, SIG_IGN);
  (void)signal(SIGXFSZ, SIG_IGN);
}

void set_reset_on_close(int fd, bool reset) {
  // A failure leaves the ordinary close: nothing more can be done about it.
  const linger option{reset ? 1 : 0, 0};
  (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

bool set_blocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}
