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

// A peer whose end is on its way is waited for this long; a connected, silent one no longer.
constexpr int LINGER_MS = 1000;
// How often the answers still unacknowledged are counted while a reset waits for them.
constexpr long ACK_POLL_NS = 20L * 1000L * 1000L;

// Every answer acknowledged, or none can be any more (the connection failed): a reset loses none.
bool nothing_to_lose(int connection) {
  int unacknowledged = 0;
  return ioctl(connection, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged == 0;
}

}  // namespace

bool peer_is_done(int connection) {
  const int off = 0;
  (void)setsockopt(connection, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
  if (!wait_ready(connection, POLLIN, LINGER_MS)) {
    return false;  // silent: still connected, its end not on its way
  }
  char next = 0;
  ssize_t count = 0;
  do {
    count = recv(connection, &next, sizeof next, MSG_PEEK | MSG_DONTWAIT);
  } while (count < 0 && errno == EINTR);
  // Peeked, not taken: a connection handed on keeps every byte for the next instance.
  return count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

void close_with_reset(int connection) {
  const timespec pause{0, ACK_POLL_NS};
  while (!nothing_to_lose(connection)) {
    nanosleep(&pause, nullptr);
  }
  const linger reset{1, 0};
  (void)setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  (void)close(connection);
}
