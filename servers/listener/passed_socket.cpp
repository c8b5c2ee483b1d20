#include "passed_socket.h"

#include <err.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "full_io.h"

namespace {

constexpr int FIRST_PASSED_FD = 3;  // SD_LISTEN_FDS_START

bool is_own_pid(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long pid = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && pid == static_cast<long>(getpid());
}

int int_option(int fd, int option) {
  int value = -1;
  socklen_t size = sizeof value;
  return getsockopt(fd, SOL_SOCKET, option, &value, &size) == 0 ? value : -1;
}

bool is_listening_tcp_socket(int fd) {
  return int_option(fd, SO_TYPE) == SOCK_STREAM && int_option(fd, SO_PROTOCOL) == IPPROTO_TCP &&
         int_option(fd, SO_ACCEPTCONN) == 1;
}

}  // namespace

int passed_listener() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  if (pid == nullptr || count == nullptr || !is_own_pid(pid)) {
    return -1;  // nothing passed, or passed to another process
  }
  if (std::strcmp(count, "1") != 0) {
    errx(1, "LISTEN_FDS=%s: one listening socket expected", count);
  }
  // The manager may pass it non-blocking, or a stopped predecessor may have left it so; accept
  // is to wait.
  if (!is_listening_tcp_socket(FIRST_PASSED_FD) || !set_blocking(FIRST_PASSED_FD, true)) {
    errx(1, "descriptor %d from LISTEN_FDS: not a listening TCP socket", FIRST_PASSED_FD);
  }
  return FIRST_PASSED_FD;
}
