#include "service_manager.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "full_io.h"

namespace {

constexpr int FIRST_PASSED_FD = 3;  // SD_LISTEN_FDS_START
constexpr char CONNECTION_NAME[] = "connection";
constexpr char LISTENER_NAME[] = "listener";
constexpr char STOPPING[] = "STOPPING=1";
// One descriptor for the port, one for the connection a stop leaves to the next instance.
constexpr long STORE_NEEDED = 2;

// The notification socket once connected, for what is told without a caller to pass it: a stop,
// from the signal handler, and a failure met while serving, from a chunk handler.
volatile std::sig_atomic_t connected_manager = -1;

// A whole decimal number, with nothing after it; false for anything else.
bool whole_number(const char* text, long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

bool is_own_pid(const char* text) {
  long pid = 0;
  return whole_number(text, &pid) && pid == static_cast<long>(getpid());
}

int int_option(int fd, int option) {
  int value = -1;
  socklen_t size = sizeof value;
  return getsockopt(fd, SOL_SOCKET, option, &value, &size) == 0 ? value : -1;
}

// The name the manager gave the descriptor passed `index`th (LISTEN_FDNAMES: names separated by
// colons), cut to `size` - 1 bytes; "" for none.
void passed_name(int index, char* name, std::size_t size) {
  const char* names = std::getenv("LISTEN_FDNAMES");
  name[0] = '\0';
  for (int at = 0; names != nullptr && at < index; ++at) {
    names = std::strchr(names, ':');
    names = names == nullptr ? nullptr : names + 1;
  }
  if (names != nullptr) {
    const std::size_t length = std::strcspn(names, ":");
    (void)std::snprintf(name, size, "%.*s", static_cast<int>(length), names);
  }
}

bool is_tcp_socket(int fd) {
  return int_option(fd, SO_TYPE) == SOCK_STREAM && int_option(fd, SO_PROTOCOL) == IPPROTO_TCP;
}

// One datagram, with a descriptor when `fd` is not -1; false when it was not sent. Without one it
// is a plain send, so that a confined server needs sendmsg only for a store.
bool notify(int manager, const char* state, int fd = -1) {
  if (manager < 0) {
    return false;
  }
  iovec text{const_cast<char*>(state), std::strlen(state)};
  msghdr message{};
  message.msg_iov = &text;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof fd)] = {};
  if (fd >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof fd);
    std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
  }
  ssize_t sent = 0;
  do {
    sent = fd >= 0 ? sendmsg(manager, &message, MSG_NOSIGNAL)
                   : send(manager, text.iov_base, text.iov_len, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent >= 0;
}

}  // namespace

int connect_to_manager() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t length = path == nullptr ? 0 : std::strlen(path);
  if (length < 2 || length >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@')) {
    return -1;  // none, or not an address this protocol uses
  }
  std::memcpy(address.sun_path, path, length);
  if (path[0] == '@') {
    address.sun_path[0] = '\0';  // the abstract namespace
  }
  // A manager that is slow to read must not hold the server: the datagram is dropped instead.
  const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  if (manager >= 0 && connect(manager, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
    (void)close(manager);
    return -1;
  }
  connected_manager = manager;
  return manager;
}

bool manager_keeps_descriptors(int manager) {
  const char* size = std::getenv("FDSTORE");
  long slots = 0;
  return manager >= 0 && size != nullptr && whole_number(size, &slots) && slots >= STORE_NEEDED;
}

handed_over take_handed_over(int manager) {
  handed_over passed{-1, -1, false, false};
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  if (pid == nullptr || count == nullptr || !is_own_pid(pid)) {
    return passed;  // nothing passed, or passed to another process
  }
  const int fds = std::strcmp(count, "1") == 0 ? 1 : (std::strcmp(count, "2") == 0 ? 2 : 0);
  int known = 0;
  for (int fd = FIRST_PASSED_FD; fd < FIRST_PASSED_FD + fds && is_tcp_socket(fd); ++fd) {
    if (int_option(fd, SO_ACCEPTCONN) == 1 && passed.listener < 0) {
      passed.listener = fd;
      char name[sizeof LISTENER_NAME + 1];
      passed_name(fd - FIRST_PASSED_FD, name, sizeof name);
      passed.listener_named = name[0] != '\0';
      passed.listener_ours = std::strcmp(name, LISTENER_NAME) == 0;
      ++known;
    } else if (int_option(fd, SO_ACCEPTCONN) == 0 && passed.connection < 0) {
      // A connection: one whose peer has gone since is served as any other that fails.
      passed.connection = fd;
      ++known;
    }
  }
  // The manager may pass the listening socket non-blocking, and a stopped predecessor leaves it
  // so; accept is to wait. A connection alone (its socket unit stopped since) is served beside a
  // listening socket of the server's own.
  if (known == 0 || known != fds ||
      (passed.listener >= 0 && !set_blocking(passed.listener, true))) {
    char what[96];
    (void)std::snprintf(what, sizeof what,
                        "LISTEN_FDS=%.8s: a listening TCP socket, a connection or both expected",
                        count);
    fail_setup(manager, what, 0);
  }
  return passed;
}

bool store_listener(int manager, int listener) {
  char store[64];
  (void)std::snprintf(store, sizeof store, "FDSTORE=1\nFDNAME=%s", LISTENER_NAME);
  return notify(manager, store, listener);
}

void remove_stored_listener(int manager) {
  char remove[64];
  (void)std::snprintf(remove, sizeof remove, "FDSTOREREMOVE=1\nFDNAME=%s", LISTENER_NAME);
  (void)notify(manager, remove);
}

void take_carried(int manager, int connection) {
  // Out of the store, or the manager would keep a copy and the peer never see our end.
  char remove[64];
  (void)std::snprintf(remove, sizeof remove, "FDSTOREREMOVE=1\nFDNAME=%s", CONNECTION_NAME);
  (void)notify(manager, remove);
  set_reset_on_close(connection, false);
  (void)set_blocking(connection, true);
}

void tell(int manager, const char* what, int error) {
  char line[256];
  if (error != 0) {
    (void)std::snprintf(line, sizeof line, "%s: %s: %s", program_invocation_short_name, what,
                        std::strerror(error));
  } else {
    (void)std::snprintf(line, sizeof line, "%s: %s", program_invocation_short_name, what);
  }
  std::fprintf(stderr, "%s\n", line);
  char state[320];
  if (error != 0) {
    (void)std::snprintf(state, sizeof state, "STATUS=%s\nERRNO=%d", line, error);
  } else {
    (void)std::snprintf(state, sizeof state, "STATUS=%s", line);
  }
  (void)notify(manager, state);
}

void fail_setup(int manager, const char* what, int error) {
  tell(manager, what, error);
  std::exit(1);
}

void fail_serving(const char* what, int error) {
  fail_setup(connected_manager, what, error);
}

void notify_ready(int manager) {
  (void)notify(manager, "READY=1");
}

void notify_stopping() {
  if (connected_manager >= 0) {
    (void)send(connected_manager, STOPPING, sizeof STOPPING - 1, MSG_NOSIGNAL);
  }
}

bool store_connection(int manager, int connection) {
  set_reset_on_close(connection, true);
  char store[64];
  (void)std::snprintf(store, sizeof store, "FDSTORE=1\nFDNAME=%s", CONNECTION_NAME);
  if (!notify(manager, store, connection)) {
    set_reset_on_close(connection, false);
    return false;
  }
  (void)close(connection);
  return true;
}
