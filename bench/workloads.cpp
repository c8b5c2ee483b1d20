#include "workloads.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <limits>
#include <string>

#include "full_io.h"
#include "private_network.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::size_t SINK_STREAM_BYTES = 16U << 20U;
constexpr std::size_t ECHO_STREAM_BYTES = 4U << 20U;
constexpr std::size_t PIPELINED_REQUESTS = 200000;
constexpr char PIPELINED_REQUEST[] = "1234+56789";  // one whole chunk
constexpr char SHORT_REQUEST[] = "2 + 3\n";
constexpr char BURST_SINK_REQUEST[] = "0123456789";
constexpr int SHORT_CONNECTIONS = 5000;
constexpr double MIB = 1U << 20U;
constexpr auto STREAM_DEADLINE = std::chrono::minutes(2);

double per_second(clock_type::time_point begin, double count) {
  return count / std::chrono::duration<double>(clock_type::now() - begin).count();
}

// Reads until `done` says the bytes received so far are the whole answer.
bool receive_until(int fd, const std::function<bool(const char*, std::size_t)>& done) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
      return false;
    }
    if (done(buffer, static_cast<std::size_t>(got))) {
      return true;
    }
  }
}

bool receive_bytes(int fd, std::size_t count) {
  std::size_t seen = 0;
  return receive_until(fd, [&](const char*, std::size_t got) { return (seen += got) >= count; });
}

bool receive_nuls(int fd, long count) {
  long seen = 0;
  return receive_until(fd, [&](const char* data, std::size_t got) {
    seen += std::count(data, data + got, '\0');
    return seen >= count;
  });
}

// Round trips per second of one request at a time, whose answer ends after `nuls` NUL bytes or
// after `bytes` bytes.
measure round_trips(const std::string& request, long nuls, std::size_t bytes, int count) {
  return [=](int fd) {
    const auto begin = clock_type::now();
    for (int i = 0; i < count; ++i) {
      const bool answered = write_all(fd, request.data(), request.size()) &&
                            (nuls > 0 ? receive_nuls(fd, nuls) : receive_bytes(fd, bytes));
      if (!answered) {
        return 0.0;
      }
    }
    return per_second(begin, count);
  };
}

double echo_stream(int fd) {
  const std::string data(ECHO_STREAM_BYTES, 'e');
  const auto begin = clock_type::now();
  if (stream_through(fd, data, data.size(), STREAM_DEADLINE).size() != data.size()) {
    return 0.0;
  }
  return per_second(begin, static_cast<double>(data.size()) / MIB);
}

// Answers per second to a stream of whole requests, sent while the answers are read, to the end.
// Where a receive splits a request, that piece is a request of its own: count answers, not
// requests.
double pipelined_sums(int fd) {
  std::string data;
  data.reserve(PIPELINED_REQUESTS * (sizeof PIPELINED_REQUEST - 1));
  for (std::size_t i = 0; i < PIPELINED_REQUESTS; ++i) {
    data += PIPELINED_REQUEST;
  }
  const auto begin = clock_type::now();
  const std::string answers = stream_through(fd, data, UNTIL_CLOSED, STREAM_DEADLINE);
  const auto count = std::count(answers.begin(), answers.end(), '\0');
  if (static_cast<std::size_t>(count) < PIPELINED_REQUESTS) {
    return 0.0;
  }
  return per_second(begin, static_cast<double>(count));
}

// MiB per second into a printing server: sent, and taken whole (the server closes its side).
double sink_stream(int fd) {
  const std::string data(SINK_STREAM_BYTES, 's');
  const auto begin = clock_type::now();
  if (!write_all(fd, data.data(), data.size())) {
    return 0.0;
  }
  shutdown(fd, SHUT_WR);
  char byte = 0;
  if (recv(fd, &byte, 1, 0) != 0) {
    return 0.0;
  }
  return per_second(begin, static_cast<double>(data.size()) / MIB);
}

// Ends the figure's own connection and waits until the server has let it go, so that the
// one-at-a-time server takes the new ones.
bool end_first_connection(int fd) {
  shutdown(fd, SHUT_WR);
  char byte = 0;
  return recv(fd, &byte, 1, 0) == 0;
}

// Connections served per second, each a whole short session: connect, one sum, close.
double short_connections(int fd) {
  if (!end_first_connection(fd)) {
    return 0.0;
  }
  const auto begin = clock_type::now();
  for (int i = 0; i < SHORT_CONNECTIONS; ++i) {
    const int connection = connect_service_port();
    const bool answered = connection >= 0 &&
                          write_all(connection, SHORT_REQUEST, sizeof SHORT_REQUEST - 1) &&
                          receive_nuls(connection, 1);
    if (connection >= 0) {
      // A reset leaves no TIME_WAIT socket: thousands of those would make tearing down each
      // sample's network namespace slow, and the next sample noisy.
      close_with_reset(connection);
    }
    if (!answered) {
      return 0.0;
    }
  }
  return per_second(begin, SHORT_CONNECTIONS);
}

// One client of a burst: connecting, then sent and waiting for its answer, then done.
struct burst_client {
  int fd = -1;
  bool sent = false;
  double ms = std::numeric_limits<double>::infinity();
};

double ms_since(clock_type::time_point begin) {
  return std::chrono::duration<double, std::milli>(clock_type::now() - begin).count();
}

// Moves one client on once poll has reported it; false when it is done, answered or failed.
bool advance(burst_client& client, bool answered, clock_type::time_point begin) {
  if (!client.sent) {
    const std::string request = answered ? SHORT_REQUEST : BURST_SINK_REQUEST;
    client.sent = connect_succeeded(client.fd) &&
                  write_all(client.fd, request.data(), request.size()) &&
                  shutdown(client.fd, SHUT_WR) == 0;
    return client.sent;
  }
  char buffer[64];
  const ssize_t got = recv(client.fd, buffer, sizeof buffer, 0);
  const bool whole = got > 0 && std::find(buffer, buffer + got, '\0') != buffer + got;
  if ((got < 0 && errno == EAGAIN) || (answered && got > 0 && !whole)) {
    return true;
  }
  // tally's answer ends with its NUL; sink answers nothing and closes once it has taken all.
  if (answered ? whole : got == 0) {
    client.ms = ms_since(begin);
  }
  return false;
}

}  // namespace

std::vector<figure> figures() {
  return {
      {"tally round trips, one-chunk request", "/s", "tally",
       round_trips(SHORT_REQUEST, 1, 0, 5000), 4, false},
      {"tally round trips, two-chunk request", "/s", "tally",
       round_trips("12 + 34 - 5\n", 2, 0, 2500), 4, false},
      {"mirror round trips, 25-byte message", "/s", "mirror",
       round_trips(std::string(25, 'm'), 0, 25, 2500), 4, false},
      {"glyphs bursts", "/s", "glyphs", round_trips("?", 0, 1000, 1250), 4, false},
      {"tally connections, one sum each", "/s", "tally", short_connections, 4, false},
      {"sink throughput, 16 MiB stream", "MiB/s", "sink", sink_stream, 1, false},
      {"mirror stream, 4 MiB echoed as sent", "MiB/s", "mirror", echo_stream, 1, true},
      {"tally stream, pipelined 10-byte sums", "/s", "tally", pipelined_sums, 1, true},
  };
}

std::vector<burst_figure> burst_figures() {
  const auto burst = [](const char* server, std::size_t clients) {
    return burst_figure{std::string(server) + ", " + std::to_string(clients) + " clients at once",
                        server, clients};
  };
  return {burst("tally", 16), burst("tally", 256), burst("tally", 1024),
          burst("sink", 16),  burst("sink", 256),  burst("sink", 1024)};
}

std::vector<double> burst_times(int fd, const burst_figure& burst) {
  if (!end_first_connection(fd)) {
    return {};
  }
  const bool answered = std::string(burst.server) == "tally";
  const auto begin = clock_type::now();
  std::vector<burst_client> clients(burst.clients);
  for (burst_client& client : clients) {
    client.fd = start_connect_service_port();
  }
  std::vector<pollfd> waiting;
  std::vector<burst_client*> owners;
  for (;;) {
    waiting.clear();
    owners.clear();
    for (burst_client& client : clients) {
      if (client.fd >= 0) {
        waiting.push_back({client.fd, static_cast<short>(client.sent ? POLLIN : POLLOUT), 0});
        owners.push_back(&client);
      }
    }
    const double left = BURST_DEADLINE_MS - ms_since(begin);
    if (waiting.empty() || left <= 0 ||
        poll(waiting.data(), waiting.size(), static_cast<int>(left) + 1) < 0) {
      break;
    }
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      if (waiting[i].revents != 0 && !advance(*owners[i], answered, begin)) {
        close_with_reset(owners[i]->fd);
        owners[i]->fd = -1;
      }
    }
  }
  std::vector<double> times;
  for (const burst_client& client : clients) {
    if (client.fd >= 0) {
      close_with_reset(client.fd);
    }
    times.push_back(client.ms);
  }
  return times;
}
