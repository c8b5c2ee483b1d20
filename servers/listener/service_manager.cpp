#include "service_manager.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
constexpr char ANSWER_NAME[] = "answer";
constexpr char STOPPING[] = "STOPPING=1";
// One descriptor for the port, one for the connection a stop leaves to the next instance, and one
// for what is left of its answer.
constexpr long STORE_NEEDED = 2;
constexpr long STORE_FOR_ANSWERS = 3;
constexpr int MOST_PASSED = 3;

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

bool is_pipe(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode);
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

// The size of the manager's descriptor store, as it states it; 0 for none.
long store_size(int manager) {
  const char* size = std::getenv("FDSTORE");
  long slots = 0;
  return manager >= 0 && size != nullptr && whole_number(size, &slots) ? slots : 0;
}

// Tells the manager to drop what it keeps under `name`.
void unstore(int manager, const char* name) {
  char remove[64];
  (void)std::snprintf(remove, sizeof remove, "FDSTOREREMOVE=1\nFDNAME=%s", name);
  (void)notify(manager, remove);
}

// Hands `fd` to the manager to keep under `name`; true when it was sent. `watched`: the manager
// may drop it once it reports a hang-up (systemd does), as a connection whose peer has gone.
bool send_to_store(int manager, int fd, const char* name, bool watched = true) {
  char state[64];
  (void)std::snprintf(state, sizeof state, "FDSTORE=1\nFDNAME=%s%s", name,
                      watched ? "" : "\nFDPOLL=0");
  return notify(manager, state, fd);
}

// The same, for a descriptor this process is done with: closed once sent.
bool store(int manager, int fd, const char* name, bool watched = true) {
  if (!send_to_store(manager, fd, name, watched)) {
    return false;
  }
  (void)close(fd);
  return true;
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
  return store_size(manager) >= STORE_NEEDED;
}

bool manager_keeps_answers(int manager) {
  return store_size(manager) >= STORE_FOR_ANSWERS;
}

handed_over take_handed_over(int manager) {
  handed_over passed{-1, -1, -1, false, false};
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  long fds = 0;
  if (pid == nullptr || count == nullptr || !is_own_pid(pid)) {
    return passed;  // nothing passed, or passed to another process
  }
  int known = 0;
  if (whole_number(count, &fds) && fds >= 1 && fds <= MOST_PASSED) {
    for (int fd = FIRST_PASSED_FD; fd < FIRST_PASSED_FD + static_cast<int>(fds); ++fd) {
      const bool tcp = is_tcp_socket(fd);
      if (is_pipe(fd) && passed.answer < 0) {
        passed.answer = fd;
      } else if (tcp && int_option(fd, SO_ACCEPTCONN) == 1 && passed.listener < 0) {
        passed.listener = fd;
        char name[sizeof LISTENER_NAME + 1];
        passed_name(fd - FIRST_PASSED_FD, name, sizeof name);
        passed.listener_named = name[0] != '\0';
        passed.listener_ours = std::strcmp(name, LISTENER_NAME) == 0;
      } else if (tcp && int_option(fd, SO_ACCEPTCONN) == 0 && passed.connection < 0) {
        // A connection: one whose peer has gone since is served as any other that fails.
        passed.connection = fd;
      } else {
        break;  // anything else, or a second of a kind
      }
      ++known;
    }
  }
  // The manager may pass the listening socket non-blocking, and a stopped predecessor leaves it
  // so; accept is to wait. A connection alone (its socket unit stopped since) is served beside a
  // listening socket of the server's own. The rest of an answer is a previous instance's, with
  // its connection.
  const bool sockets = passed.listener >= 0 || passed.connection >= 0;
  if (!sockets || known != fds || (passed.listener >= 0 && !set_blocking(passed.listener, true))) {
    char what[96];
    (void)std::snprintf(what, sizeof what,
                        "LISTEN_FDS=%.8s: a listening TCP socket, a connection or both expected",
                        count);
    fail_setup(manager, what, 0);
  }
  if (passed.answer >= 0 && passed.connection < 0) {
    unstore(manager, ANSWER_NAME);  // an answer whose connection is gone: nobody is owed it
    (void)close(passed.answer);
    passed.answer = -1;
  }
  return passed;
}

bool store_listener(int manager, int listener) {
  return send_to_store(manager, listener, LISTENER_NAME);
}

void remove_stored_listener(int manager) {
  unstore(manager, LISTENER_NAME);
}

owed_answer take_carried(int manager, int connection, int answer) {
  // Out of the store, or the manager would keep a copy and the peer never see our end.
  unstore(manager, CONNECTION_NAME);
  set_reset_on_close(connection, false);
  (void)set_blocking(connection, true);
  owed_answer owed{};
  owed.whole = true;
  if (answer < 0) {
    return owed;
  }
  unstore(manager, ANSWER_NAME);
  // Its writer has ended: what it holds, then its end; never a wait.
  (void)set_blocking(answer, false);
  ssize_t count = 0;
  while (owed.length < OWED_CAPACITY &&
         (count = read_some(answer, owed.bytes + owed.length, OWED_CAPACITY - owed.length)) > 0) {
    owed.length += static_cast<std::size_t>(count);
  }
  char more = 0;
  owed.whole = owed.length < OWED_CAPACITY || read_some(answer, &more, 1) <= 0;
  (void)close(answer);
  return owed;
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
  if (!store(manager, connection, CONNECTION_NAME)) {
    set_reset_on_close(connection, false);
    return false;
  }
  return true;
}

bool store_answer(int manager, int pipe_end) {
  // Its writer ends with this process, a hang-up: watched, the rest of the answer would be lost.
  return store(manager, pipe_end, ANSWER_NAME, false);
}
