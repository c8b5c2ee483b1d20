#include "full_io.h"

#include <unistd.h>
#include <cerrno>
#include <csignal>

bool write_all(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, data, length);
    if (written <= 0) {
      if (written < 0 && errno == EINTR) {
        continue;
      }
      return false;  // a zero-byte write of a non-empty buffer would only repeat itself
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

void ignore_sigpipe() {
  // Only fails for an invalid signal number, which SIGPIPE is not.
  (void)signal(SIGPIPE, SIG_IGN);
}
