#include "standard_descriptors.h"

#include "full_io.h"

#include <err.h>
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

namespace {

constexpr char OUTPUT_NAME[] = "standard output";

bool is_closed(int fd) {
  return fcntl(fd, F_GETFD) < 0 && errno == EBADF;
}

}  // namespace

void claim_standard_descriptors(bool output_needed) {
  const bool output_closed = is_closed(STDOUT_FILENO);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // open takes the lowest free number, and every lower one is open by now: this one.
    if (is_closed(fd) && open("/dev/null", O_RDWR) != fd) {
      err(1, "/dev/null");
    }
  }
  if (output_needed && output_closed) {
    errno = EBADF;
    err(1, "%s", OUTPUT_NAME);
  }
}

void print_or_exit(const char* bytes, std::size_t count, int lost_from, failure_report fail) {
  if (!write_all(STDOUT_FILENO, bytes, count)) {
    const int saved_errno = errno;
    if (lost_from >= 0) {
      set_reset_on_close(lost_from, true);  // closed at exit
    }
    if (fail != nullptr) {
      fail(OUTPUT_NAME, saved_errno);
    }
    errno = saved_errno;
    err(1, "%s", OUTPUT_NAME);
  }
}
