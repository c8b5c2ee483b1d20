#include "service_manager.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "full_io.h"

namespace {

constexpr int FIRST_PASSED_FD = 3;  // SD_LISTEN_FDS_START
// The names the server gives what it stores. A connection whose answer's rest is stored too is
// named after the process that stored both ("connection.<pid>", "answer.<pid>"), so that an answer
// is only ever taken with its own connection; release 1.3.0 stored both unnamed by process.
constexpr char CONNECTION_NAME[] = "connection";
constexpr char ANSWER_NAME[] = "answer";
constexpr char LISTENER_NAME[] = "listener";
constexpr char STOPPING[] = "STOPPING=1";
// More than any store holds: LISTEN_FDS is read no further.
constexpr long MOST_PASSED = 4096;
// A name the manager passes: at most 255 bytes.
constexpr std::size_t PASSED_NAME_SIZE = 256;

// The notification socket once connected, for what is told without a caller to pass it: a stop,
// from the signal handler, and a failure met while serving, from a chunk handler.
volatile std::sig_atomic_t connected_manager = -1;
// A STOPPING=1 the signal handler could not send, the manager's queue being full.
volatile std::sig_atomic_t stopping_unsent = 0;

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
void passed_name(long index, char* name, std::size_t size) {
  const char* names = std::getenv("LISTEN_FDNAMES");
  name[0] = '\0';
  for (long at = 0; names != nullptr && at < index; ++at) {
    names = std::strchr(names, ':');
    names = names == nullptr ? nullptr : names + 1;
  }
  if (names != nullptr) {
    const std::size_t length = std::strcspn(names, ":");
    (void)std::snprintf(name, size, "%.*s", static_cast<int>(length), names);
  }
}

// One datagram, with a descriptor when `fd` is not -1; false when it was not sent. Without one it
// is a plain send, so that a confined server needs sendmsg only for a store. A full queue at the
// manager is waited out, within NOTIFY_WAIT_MS, never taken for a failure.
bool send_notification(int manager, const char* state, int fd) {
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
  const long give_up_at = monotonic_ms() + NOTIFY_WAIT_MS;
  for (;;) {
    const ssize_t sent = fd >= 0 ? sendmsg(manager, &message, MSG_NOSIGNAL)
                                 : send(manager, text.iov_base, text.iov_len, MSG_NOSIGNAL);
    const int error = errno;
    if (sent >= 0) {
      return true;
    }
    const long left = give_up_at - monotonic_ms();
    if (error != EINTR && (error != EAGAIN || left <= 0)) {
      return false;
    }
    if (error == EAGAIN) {
      (void)wait_ready(manager, POLLOUT, static_cast<int>(left));
    }
  }
}

bool notify(int manager, const char* state, int fd = -1) {
  if (manager < 0) {
    return false;
  }
  settle_stopping();  // a stop is told before anything said after it
  return send_notification(manager, state, fd);
}

// Hands `fd` to the manager to keep under `name`; true when it was sent. `watched`: the manager
// may drop it once it reports a hang-up (systemd does), as a connection whose peer has gone.
bool send_to_store(int manager, int fd, const char* name, bool watched = true) {
  char state[STORED_NAME_SIZE + 32];
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

// The name of this process's connection or answer: `kind`.<pid>.
void own_name(const char* kind, char* name, std::size_t size) {
  (void)std::snprintf(name, size, "%s.%ld", kind, static_cast<long>(getpid()));
}

enum class passed_kind { none, listening, connection, pipe, other };

passed_kind kind_of(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    return passed_kind::none;  // nothing open there
  }
  if (S_ISFIFO(status.st_mode)) {
    return passed_kind::pipe;
  }
  if (!S_ISSOCK(status.st_mode) || int_option(fd, SO_TYPE) != SOCK_STREAM ||
      int_option(fd, SO_PROTOCOL) != IPPROTO_TCP) {
    return passed_kind::other;
  }
  return int_option(fd, SO_ACCEPTCONN) == 1 ? passed_kind::listening : passed_kind::connection;
}

// `name` is `kind` alone, or `kind`.<something>; `tag` points at what follows the dot ("" for
// none).
bool named_as(const char* name, const char* kind, const char** tag) {
  const std::size_t length = std::strlen(kind);
  if (std::strncmp(name, kind, length) != 0 || (name[length] != '\0' && name[length] != '.')) {
    return false;
  }
  *tag = name[length] == '.' ? name + length + 1 : "";
  return true;
}

// What take_handed_over has sorted so far, the port sockets of the server's own apart (the newest
// two) until all is sorted.
struct own_port {
  int fd;
  long made_ms;
  char name[STORED_NAME_SIZE];
};
struct sorting {
  handed_over passed;
  own_port newest;
  own_port older;
};

// Closes a descriptor passed that is not expected, with one line: a connection with a reset, for
// its peer's bytes are not served. It is taken out of the store once all is sorted
// (take_unexpected_out).
void drop_passed(int manager, int fd, const char* why) {
  char name[PASSED_NAME_SIZE];
  passed_name(fd - FIRST_PASSED_FD, name, sizeof name);
  char what[PASSED_NAME_SIZE + 128];
  (void)std::snprintf(what, sizeof what, "passed descriptor %d (%s): %s, closed", fd,
                      name[0] != '\0' ? name : "no name", why);
  tell(manager, what, 0);
  set_reset_on_close(fd, true);  // fails harmlessly on what is not a socket
  (void)close(fd);
}

// A port socket of the server's own: "listener" (1.3.0's) or "listener.<ms>"; false for any other
// name (a socket unit's, a launcher's, none).
bool own_port_name(const char* name, long* made_ms) {
  const char* tag = nullptr;
  if (!named_as(name, LISTENER_NAME, &tag) || std::strlen(name) >= STORED_NAME_SIZE) {
    return false;
  }
  *made_ms = 0;
  return tag[0] == '\0' ||
         (std::strspn(tag, "0123456789") == std::strlen(tag) && whole_number(tag, made_ms));
}

void sort_listening(int manager, sorting* sorted, int fd, const char* name) {
  own_port port{fd, 0, ""};
  if (!own_port_name(name, &port.made_ms)) {
    handed_over& passed = sorted->passed;
    if (passed.listener >= 0) {
      drop_passed(manager, fd, "a second listening socket");
    } else {
      passed.listener = fd;
      passed.listener_named = name[0] != '\0';
    }
    return;
  }
  (void)std::snprintf(port.name, sizeof port.name, "%s", name);
  if (sorted->newest.fd < 0 || port.made_ms > sorted->newest.made_ms) {
    std::swap(port, sorted->newest);
  }
  if (port.fd >= 0 && (sorted->older.fd < 0 || port.made_ms > sorted->older.made_ms)) {
    std::swap(port, sorted->older);
  }
  if (port.fd >= 0) {
    drop_passed(manager, port.fd, "a third port socket of the server's own");
  }
}

// The port: a socket unit's where one was passed (the server's own newest then being retired),
// else the newest of the server's own, the older being retired.
void choose_port(int manager, sorting* sorted) {
  handed_over& passed = sorted->passed;
  const own_port* retiring = &sorted->newest;
  if (passed.listener < 0 && sorted->newest.fd >= 0) {
    passed.listener = sorted->newest.fd;
    passed.listener_named = true;
    passed.listener_ours = true;
    passed.listener_made_ms = sorted->newest.made_ms;
    (void)std::snprintf(passed.listener_name, STORED_NAME_SIZE, "%s", sorted->newest.name);
    retiring = &sorted->older;
  } else if (sorted->older.fd >= 0) {
    drop_passed(manager, sorted->older.fd, "a third port socket");
  }
  if (retiring->fd >= 0) {
    passed.retiring = retiring->fd;
    (void)std::snprintf(passed.retiring_name, STORED_NAME_SIZE, "%s", retiring->name);
  }
}

// A connection passed unnamed (by a launcher) or named as this server names them; a pipe named
// as an answer.
void sort_stored(int manager, sorting* sorted, int fd, const char* name, bool is_pipe) {
  handed_over& passed = sorted->passed;
  const char* tag = nullptr;
  const bool known = is_pipe ? named_as(name, ANSWER_NAME, &tag)
                             : name[0] == '\0' || named_as(name, CONNECTION_NAME, &tag);
  int& slot = is_pipe ? passed.answer : passed.connection;
  char* kept_name = is_pipe ? passed.answer_name : passed.connection_name;
  if (!known || std::strlen(name) >= STORED_NAME_SIZE) {
    drop_passed(manager, fd, "an unknown name");
  } else if (slot >= 0) {
    drop_passed(manager, fd, is_pipe ? "a second answer" : "a second connection");
  } else {
    slot = fd;
    (void)std::snprintf(kept_name, STORED_NAME_SIZE, "%s", name);
  }
}

// An answer goes only with its own connection: the same process's name on both, or both unnamed
// by process (release 1.3.0 stored one of each at most, together).
void pair_answer(int manager, sorting* sorted) {
  handed_over& passed = sorted->passed;
  const char* connection_tag = "";
  const char* answer_tag = "";
  const bool named = passed.connection_name[0] != '\0';
  if (named) {
    (void)named_as(passed.connection_name, CONNECTION_NAME, &connection_tag);
  }
  if (passed.answer >= 0) {
    (void)named_as(passed.answer_name, ANSWER_NAME, &answer_tag);
    if (passed.connection < 0 || !named || std::strcmp(answer_tag, connection_tag) != 0) {
      drop_passed(manager, passed.answer, "an answer without its connection");
      passed.answer = -1;
      passed.answer_name[0] = '\0';
    }
  }
  if (passed.connection >= 0 && connection_tag[0] != '\0' && passed.answer < 0) {
    drop_passed(manager, passed.connection, "a connection without the rest of its answer");
    passed.connection = -1;
    passed.connection_name[0] = '\0';
  }
}

// Takes what was passed and not kept out of the store. A name it shares with a connection or
// answer kept goes when those are taken out; one shared with a port socket kept takes that one
// too, which is handed to the store again at once.
void take_unexpected_out(int manager, const handed_over& passed, long count) {
  bool listener_out = false;
  bool retiring_out = false;
  for (long index = 0; index < count; ++index) {
    const int fd = FIRST_PASSED_FD + static_cast<int>(index);
    if (fd == passed.listener || fd == passed.retiring || fd == passed.connection ||
        fd == passed.answer) {
      continue;
    }
    char name[PASSED_NAME_SIZE];
    passed_name(index, name, sizeof name);
    if (name[0] == '\0' || std::strcmp(name, passed.connection_name) == 0 ||
        std::strcmp(name, passed.answer_name) == 0) {
      continue;
    }
    unstore(manager, name);
    listener_out =
        listener_out || (passed.listener_ours && std::strcmp(name, passed.listener_name) == 0);
    retiring_out =
        retiring_out || (passed.retiring >= 0 && std::strcmp(name, passed.retiring_name) == 0);
  }
  if (listener_out) {
    (void)send_to_store(manager, passed.listener, passed.listener_name);
  }
  if (retiring_out) {
    (void)send_to_store(manager, passed.retiring, passed.retiring_name);
  }
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
  // Never blocking: the stop signal's handler must not wait on the manager. The rest wait for room
  // with a bound of their own.
  const int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  if (manager >= 0 && connect(manager, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
    (void)close(manager);
    return -1;
  }
  connected_manager = manager;
  return manager;
}

long store_size(int manager) {
  const char* size = std::getenv("FDSTORE");
  long slots = 0;
  return manager >= 0 && size != nullptr && whole_number(size, &slots) && slots > 0 ? slots : 0;
}

handed_over take_handed_over(int manager) {
  sorting sorted{{-1, -1, -1, -1, false, false, 0, "", "", "", ""}, {-1, 0, ""}, {-1, 0, ""}};
  const char* pid = std::getenv("LISTEN_PID");
  const char* count = std::getenv("LISTEN_FDS");
  if (pid == nullptr || count == nullptr || !is_own_pid(pid)) {
    return sorted.passed;  // nothing passed, or passed to another process
  }
  long fds = 0;
  if (!whole_number(count, &fds) || fds < 0) {
    char what[64];
    (void)std::snprintf(what, sizeof what, "LISTEN_FDS=%.8s: not a count of descriptors", count);
    fail_setup(manager, what, 0);
  }
  fds = std::min(fds, MOST_PASSED);
  for (long index = 0; index < fds; ++index) {
    const int fd = FIRST_PASSED_FD + static_cast<int>(index);
    char name[PASSED_NAME_SIZE];
    passed_name(index, name, sizeof name);
    switch (kind_of(fd)) {
      case passed_kind::none:
        break;
      case passed_kind::listening:
        sort_listening(manager, &sorted, fd, name);
        break;
      case passed_kind::connection:
        sort_stored(manager, &sorted, fd, name, false);
        break;
      case passed_kind::pipe:
        sort_stored(manager, &sorted, fd, name, true);
        break;
      case passed_kind::other:
        drop_passed(manager, fd, "neither a TCP socket nor a pipe");
        break;
    }
  }
  choose_port(manager, &sorted);
  pair_answer(manager, &sorted);
  take_unexpected_out(manager, sorted.passed, fds);
  // The manager may pass the listening socket non-blocking, and a stopped predecessor leaves it
  // so; accept is to wait.
  if (sorted.passed.listener >= 0 && !set_blocking(sorted.passed.listener, true)) {
    fail_setup(manager, "a passed listening socket cannot be made to block", errno);
  }
  return sorted.passed;
}

bool store_listener(int manager, int listener) {
  char name[STORED_NAME_SIZE];
  (void)std::snprintf(name, sizeof name, "%s.%ld", LISTENER_NAME, monotonic_ms());
  return send_to_store(manager, listener, name);
}

void unstore(int manager, const char* name) {
  char remove[PASSED_NAME_SIZE + 32];
  (void)std::snprintf(remove, sizeof remove, "FDSTOREREMOVE=1\nFDNAME=%s", name);
  (void)notify(manager, remove);
}

owed_answer take_carried(int manager, const handed_over& passed) {
  // Out of the store, or the manager would keep a copy and the peer never see our end.
  if (passed.connection_name[0] != '\0') {
    unstore(manager, passed.connection_name);
  }
  (void)set_blocking(passed.connection, true);
  owed_answer owed{};
  owed.whole = true;
  if (passed.answer < 0) {
    return owed;
  }
  unstore(manager, passed.answer_name);
  // Its writer has ended: what it holds, then its end; never a wait.
  (void)set_blocking(passed.answer, false);
  ssize_t count = 0;
  while (owed.length < OWED_CAPACITY && (count = read_some(passed.answer, owed.bytes + owed.length,
                                                           OWED_CAPACITY - owed.length)) > 0) {
    owed.length += static_cast<std::size_t>(count);
  }
  char more = 0;
  owed.whole = owed.length < OWED_CAPACITY || read_some(passed.answer, &more, 1) <= 0;
  (void)close(passed.answer);
  return owed;
}

void tell(int manager, const char* what, int error) {
  char line[512];
  if (error != 0) {
    (void)std::snprintf(line, sizeof line, "%s: %s: %s", program_invocation_short_name, what,
                        std::strerror(error));
  } else {
    (void)std::snprintf(line, sizeof line, "%s: %s", program_invocation_short_name, what);
  }
  std::fprintf(stderr, "%s\n", line);
  char state[sizeof line + 32];
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
  if (connected_manager >= 0 &&
      send(connected_manager, STOPPING, sizeof STOPPING - 1, MSG_NOSIGNAL) < 0) {
    stopping_unsent = 1;
  }
}

void settle_stopping() {
  if (stopping_unsent != 0) {
    stopping_unsent = 0;
    (void)send_notification(connected_manager, STOPPING, -1);
  }
}

bool store_connection(int manager, int connection, bool owes_answer) {
  char name[STORED_NAME_SIZE];
  if (owes_answer) {
    own_name(CONNECTION_NAME, name, sizeof name);
  } else {
    (void)std::snprintf(name, sizeof name, "%s", CONNECTION_NAME);
  }
  set_reset_on_close(connection, true);
  if (!store(manager, connection, name)) {
    set_reset_on_close(connection, false);
    return false;
  }
  return true;
}

bool store_answer(int manager, int pipe_end) {
  char name[STORED_NAME_SIZE];
  own_name(ANSWER_NAME, name, sizeof name);
  // Its writer ends with this process, a hang-up: watched, the rest of the answer would be lost.
  if (store(manager, pipe_end, name, false)) {
    return true;
  }
  own_name(CONNECTION_NAME, name, sizeof name);
  unstore(manager, name);  // the manager closes it: a reset, its answer lost
  return false;
}
