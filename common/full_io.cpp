#include "full_io.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

namespace {

// A non-blocking descriptor that is full is waited on, never taken for a failed one. A descriptor
// whose reader has gone polls ready, and the write that follows says why it failed.
bool wait_writable(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  int ready = 0;
  do {
    ready = poll(&entry, 1, -1);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

}  // namespace

bool write_all(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, data, length);
    if (written > 0) {
      data += written;
      length -= static_cast<std::size_t>(written);
      continue;
    }
    if (written < 0 && (errno == EINTR || (errno == EAGAIN && wait_writable(fd)))) {
      continue;
    }
    return false;  // a zero-byte write of a non-empty buffer would only repeat itself
  }
  return true;
}

void ignore_sigpipe() {
  // Only fails for an invalid signal number, which SIGPIPE is not.
  (void)signal(SIGPIPE, SIG_IGN);
}

bool set_blocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}
