#include "private_network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "full_io.h"
#include "service_port.h"

namespace {

bool write_file(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool written = write_all(fd, text.data(), text.size());
  close(fd);
  return written;
}

// What `unshare -rn` does for an ordinary user: a user namespace in which the caller's own uid and
// gid are root, and a network namespace owned by it. From then on the process holds the
// capabilities over network namespaces it creates, so later calls need only CLONE_NEWNET.
bool enter_user_and_network_namespace() {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  return unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0 && write_file("/proc/self/setgroups", "deny") &&
         write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
         write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

bool bring_loopback_up() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  close(fd);
  return up;
}

// Connects `fd` to the service port, from `from` when one is given, with Nagle off; a
// non-blocking `fd` is left connecting.
bool connect_socket(int fd, const char* from) {
  if (from != nullptr) {
    const sockaddr_in local = address_of(from, 0);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      return false;
    }
  }
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const sockaddr_in remote = address_of("127.0.0.1", SERVICE_PORT);
  return connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0 ||
         errno == EINPROGRESS;
}

}  // namespace

sockaddr_in address_of(const char* host, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = inet_addr(host);
  return address;
}

bool enter_private_network() {
  const bool entered =
      unshare(CLONE_NEWNET) == 0 || (errno == EPERM && enter_user_and_network_namespace());
  return entered && bring_loopback_up();
}

int connect_service_port(const char* from) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && !connect_socket(fd, from)) {
    close(fd);
    return -1;
  }
  return fd;
}

int start_connect_service_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd >= 0 && !connect_socket(fd, nullptr)) {
    close(fd);
    return -1;
  }
  return fd;
}

bool connect_succeeded(int fd) {
  int error = 0;
  socklen_t size = sizeof error;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

void close_with_reset(int fd) {
  const linger abort_on_close{1, 0};
  (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  close(fd);
}

std::string stream_through(int fd, const std::string& data, std::size_t expect_back,
                           std::chrono::milliseconds deadline) {
  using clock = std::chrono::steady_clock;
  const auto end = clock::now() + deadline;
  std::string back;
  std::size_t sent = 0;
  char buffer[65536];
  while (sent < data.size() || back.size() < expect_back) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now());
    pollfd entry{fd, static_cast<short>(POLLIN | (sent < data.size() ? POLLOUT : 0)), 0};
    if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
      if (left.count() <= 0 || errno != EINTR) {
        break;
      }
      continue;
    }
    if ((entry.revents & POLLOUT) != 0) {
      const ssize_t count =
          send(fd, data.data() + sent, std::min<std::size_t>(data.size() - sent, sizeof buffer),
               MSG_NOSIGNAL | MSG_DONTWAIT);
      sent += count > 0 ? static_cast<std::size_t>(count) : 0;
      if (sent == data.size() && expect_back == UNTIL_CLOSED) {
        shutdown(fd, SHUT_WR);  // the peer closes only once it has seen the end
      }
    }
    if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t count = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (count > 0) {
        back.append(buffer, static_cast<std::size_t>(count));
      } else if (count == 0 || errno != EAGAIN) {
        break;  // closed or failed: nothing more will come
      }
    }
  }
  return back;
}
