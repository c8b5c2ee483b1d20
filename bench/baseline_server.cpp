// The two servers the real ones are measured against, both with no work between system calls:
//   baseline_server tally|glyphs|mirror|sink [floor|plain]
// floor (the default): the same listening socket and queue, TCP_NODELAY at accept, glyphs corked
//   per burst, and exactly the same system calls per chunk as the servers make in ping-pong.
// plain: the loop exactly as the algorithm is written: a listen backlog of 5, no socket option at
//   all (Nagle on), each glyphs character its own uncorked write.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <limits>

namespace {

constexpr char FIXED_ANSWER[] = "Resultado: 5";  // written with its NUL, as tally does
constexpr int SERVER_BACKLOG = std::numeric_limits<int>::max();  // the servers' queue
constexpr int WRITTEN_BACKLOG = 5;                               // the algorithm's

int listen_on_service_port(int backlog) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(12345);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (listener < 0 ||
      bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, backlog) != 0) {
    return -1;
  }
  return listener;
}

// The servers complete short writes; on loopback with a reading peer none is short.
void write_once(int fd, const void* data, std::size_t size) {
  if (write(fd, data, size) < 0) {
    return;  // the peer has gone: the next recv ends the connection
  }
}

void set_option(int connection, int option, int value) {
  (void)setsockopt(connection, IPPROTO_TCP, option, &value, sizeof value);
}

void answer_chunk(char mode, bool floor, int connection, const char* chunk, ssize_t length) {
  switch (mode) {
    case 't':
      write_once(connection, FIXED_ANSWER, sizeof FIXED_ANSWER);
      break;
    case 'm':
      write_once(connection, chunk, static_cast<std::size_t>(length));
      break;
    case 's':
      write_once(STDOUT_FILENO, chunk, static_cast<std::size_t>(length));
      break;
    default:  // glyphs
      if (floor) {
        set_option(connection, TCP_CORK, 1);
      }
      for (int i = 0; i < 1000; ++i) {
        const char character = static_cast<char>(' ' + i % 95);
        write_once(connection, &character, 1);
      }
      if (floor) {
        set_option(connection, TCP_CORK, 0);
      }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char mode = argc > 1 ? argv[1][0] : 't';
  const bool floor = argc < 3 || std::strcmp(argv[2], "plain") != 0;
  (void)signal(SIGPIPE, SIG_IGN);
  const int listener = listen_on_service_port(floor ? SERVER_BACKLOG : WRITTEN_BACKLOG);
  if (listener < 0) {
    return 1;
  }
  for (;;) {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) {
      continue;
    }
    if (floor) {
      set_option(connection, TCP_NODELAY, 1);
    }
    char chunk[10];
    ssize_t length = 0;
    while ((length = recv(connection, chunk, sizeof chunk, 0)) > 0) {
      answer_chunk(mode, floor, connection, chunk, length);
    }
    close(connection);
  }
}
