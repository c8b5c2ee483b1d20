#include "listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "full_io.h"
#include "service_port.h"

namespace {

constexpr int LISTEN_BACKLOG = 5;
constexpr long RESOURCE_PAUSE_NS = 100L * 1000L * 1000L;

[[noreturn]] void fail_setup(const char* call) {
  std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, call, std::strerror(errno));
  std::exit(1);
}

int open_listening_socket() {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) {
    fail_setup("socket");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(SERVICE_PORT);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fail_setup("bind");
  }
  if (listen(listener, LISTEN_BACKLOG) != 0) {
    fail_setup("listen");
  }
  return listener;
}

// Errors that concern only the connection being taken; the next accept may well succeed.
bool is_transient_accept_error(int error) {
  switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EPERM:
      return true;
    default:
      return false;
  }
}

// Waits for the next connection. Resource exhaustion and unexpected errors pause before the retry
// so that a persistent failure never turns into a busy loop.
int accept_connection(int listener) {
  for (;;) {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection >= 0) {
      return connection;
    }
    if (!is_transient_accept_error(errno)) {
      const timespec pause{0, RESOURCE_PAUSE_NS};
      nanosleep(&pause, nullptr);
    }
  }
}

// Every answer is small and awaited by its peer, so each write must leave at once.
void disable_nagle(int connection) {
  const int on = 1;
  // Failure only costs latency; the connection is served either way.
  (void)setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void serve_connection(int connection, chunk_handler handler) {
  char chunk[CHUNK_SIZE];
  for (;;) {
    const ssize_t count = recv_some(connection, chunk, sizeof chunk);
    if (count <= 0) {
      return;
    }
    handler(connection, chunk, static_cast<std::int32_t>(count));
  }
}

}  // namespace

void run_listener(chunk_handler handler) {
  ignore_sigpipe();
  const int listener = open_listening_socket();
  for (;;) {
    const int connection = accept_connection(listener);
    disable_nagle(connection);
    serve_connection(connection, handler);
    close(connection);
  }
}
