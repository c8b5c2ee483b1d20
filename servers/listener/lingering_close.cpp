#include "lingering_close.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

#include "full_io.h"

namespace {

// A connected peer that has gone quiet does not hold a stop longer than this.
constexpr int LINGER_MS = 1000;
// What a stop drops is read in large pieces: it is no request.
constexpr int DISCARD_SIZE = 4096;

// Every answer, and the end of the stream, acknowledged: a reset can no longer lose any of them.
bool all_acknowledged(int connection) {
  int unacknowledged = 0;
  return ioctl(connection, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
}

// Reads and drops one piece of what the peer sends; false once it has ended its side, the
// connection has failed, or nothing came within the linger.
bool discard_input(int connection) {
  if (!wait_ready(connection, POLLIN, LINGER_MS)) {
    return false;
  }
  char dropped[DISCARD_SIZE];
  const ssize_t count = recv_some(connection, dropped, sizeof dropped);
  return count > 0 || (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

}  // namespace

void close_lingering(int connection) {
  const int off = 0;
  (void)setsockopt(connection, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
  (void)shutdown(connection, SHUT_WR);
  while (!all_acknowledged(connection) && discard_input(connection)) {
  }
  (void)close(connection);
}
