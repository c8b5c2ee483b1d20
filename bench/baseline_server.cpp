// The floor the servers are measured against: the same listening socket, the same socket options
// and exactly the same system calls per chunk, with no work between them.
//   baseline_server tally|glyphs|mirror|sink
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace {

constexpr char FIXED_ANSWER[] = "Resultado: 5";  // written with its NUL, as tally does

int listen_on_service_port() {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(12345);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (listener < 0 ||
      bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 5) != 0) {
    return -1;
  }
  return listener;
}

void answer_chunk(char mode, int connection, const char* chunk, ssize_t length) {
  const int on = 1;
  const int off = 0;
  switch (mode) {
    case 't':
      (void)write(connection, FIXED_ANSWER, sizeof FIXED_ANSWER);
      break;
    case 'm':
      (void)write(connection, chunk, static_cast<std::size_t>(length));
      break;
    case 's':
      (void)write(STDOUT_FILENO, chunk, static_cast<std::size_t>(length));
      break;
    default:  // glyphs
      (void)setsockopt(connection, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
      for (int i = 0; i < 1000; ++i) {
        const char character = static_cast<char>(' ' + i % 95);
        (void)write(connection, &character, 1);
      }
      (void)setsockopt(connection, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char mode = argc > 1 ? argv[1][0] : 't';
  (void)signal(SIGPIPE, SIG_IGN);
  const int listener = listen_on_service_port();
  if (listener < 0) {
    return 1;
  }
  for (;;) {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) {
      continue;
    }
    const int on = 1;
    (void)setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char chunk[10];
    ssize_t length = 0;
    while ((length = recv(connection, chunk, sizeof chunk, 0)) > 0) {
      answer_chunk(mode, connection, chunk, length);
    }
    close(connection);
  }
}
