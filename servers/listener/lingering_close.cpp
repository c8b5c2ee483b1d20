#include "lingering_close.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <ctime>

#include "full_io.h"

namespace {

// How often the answers still unacknowledged are counted while a reset waits for them.
constexpr long ACK_POLL_NS = 20L * 1000L * 1000L;

// A connection reset by its peer, or dropped by the user timeout, is closed: its count of
// unacknowledged bytes stays as it was, but nothing will ever acknowledge them.
bool has_failed(int connection) {
  tcp_info info{};
  socklen_t size = sizeof info;
  return getsockopt(connection, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
         info.tcpi_state == TCP_CLOSE;
}

// Every answer acknowledged, or none can be any more: a reset loses none.
bool nothing_to_lose(int connection) {
  int unacknowledged = 0;
  return ioctl(connection, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged == 0 ||
         has_failed(connection);
}

}  // namespace

bool peer_is_done(int connection, int wait_ms) {
  const int off = 0;
  (void)setsockopt(connection, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
  if (!wait_ready(connection, POLLIN, wait_ms)) {
    return false;  // silent: still connected, its end not on its way
  }
  char next = 0;
  // Peeked, not taken: a connection handed on keeps every byte for the next instance.
  const ssize_t count = recv_some(connection, &next, sizeof next, MSG_PEEK | MSG_DONTWAIT);
  return count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

void close_with_reset(int connection) {
  const timespec pause{0, ACK_POLL_NS};
  while (!nothing_to_lose(connection)) {
    nanosleep(&pause, nullptr);
  }
  set_reset_on_close(connection, true);
  (void)close(connection);
}
