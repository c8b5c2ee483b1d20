// Drives every server and, interleaved with it round by round, a baseline server that makes the
// same system calls per chunk with no work between them; prints medians and their ratio, then
// the system calls each server makes per chunk. Runs in a network namespace of its own.
//   portkit_bench [rounds [figure]]   (figure: run only the figures whose name contains it, or
//                                      "process" for start-up, memory and size alone)
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "full_io.h"
#include "private_network.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::size_t STREAM_BYTES = 16U << 20U;
constexpr int DEFAULT_ROUNDS = 5;
constexpr int TRACED_CHUNKS = 1000;
constexpr int STARTUP_ROUNDS_PER_ROUND = 5;  // start-up is short and noisy: take more samples

// ---- processes and sockets -------------------------------------------------------------------

// The driver runs on the first CPU and the server under test on the second, when there are two,
// so that scheduling does not decide the figures.
void pin_to_cpu(std::size_t cpu) {
  if (sysconf(_SC_NPROCESSORS_ONLN) < 2) {
    return;
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  (void)sched_setaffinity(0, sizeof set, &set);
}

pid_t start(const std::vector<std::string>& command) {
  const pid_t pid = fork();
  if (pid == 0) {
    pin_to_cpu(1);
    signal(SIGPIPE, SIG_DFL);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const std::string& word : command) {
      // cppcheck-suppress useStlAlgorithm
      argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Runs a command to its end, its output discarded; true when it exits with status 0.
bool succeeds(const std::vector<std::string>& command) {
  const pid_t pid = start(command);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

void stop(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Connects as soon as the server accepts, for at most ten seconds; -1 if it never does.
int connect_when_ready() {
  const auto deadline = clock_type::now() + std::chrono::seconds(10);
  while (clock_type::now() < deadline) {
    const int fd = connect_service_port();
    if (fd >= 0) {
      return fd;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return -1;
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

// ---- figures ---------------------------------------------------------------------------------

using measure = std::function<double(int fd)>;

double per_second(clock_type::time_point begin, double count) {
  return count / std::chrono::duration<double>(clock_type::now() - begin).count();
}

// Round trips per second of one request whose answer ends after `nuls` NUL bytes or `bytes`.
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

// MiB per second of a stream sent while the echo is read back.
double echo_stream(int fd) {
  const std::string data(STREAM_BYTES, 'e');
  const auto begin = clock_type::now();
  if (stream_through(fd, data, data.size(), std::chrono::minutes(2)).size() != data.size()) {
    return 0.0;
  }
  return per_second(begin, static_cast<double>(STREAM_BYTES) / (1U << 20U));
}

// MiB per second into a printing server: sent, and taken whole (the server closes its side).
double sink_stream(int fd) {
  const std::string data(STREAM_BYTES, 's');
  const auto begin = clock_type::now();
  if (!write_all(fd, data.data(), data.size())) {
    return 0.0;
  }
  shutdown(fd, SHUT_WR);
  char byte = 0;
  if (recv(fd, &byte, 1, 0) != 0) {
    return 0.0;
  }
  return per_second(begin, static_cast<double>(STREAM_BYTES) / (1U << 20U));
}

struct figure {
  const char* name;
  const char* unit;
  const char* server;    // program name under the build's bin/
  const char* baseline;  // baseline_server mode
  measure run;
  int alternations;  // server-baseline pairs per round: short figures alternate more often
};

std::vector<figure> figures() {
  return {
      {"tally round trips, one-chunk request", "/s", "tally", "tally",
       round_trips("2 + 3\n", 1, 0, 5000), 4},
      {"tally round trips, two-chunk request", "/s", "tally", "tally",
       round_trips("12 + 34 - 5\n", 2, 0, 2500), 4},
      {"mirror round trips, 25-byte message", "/s", "mirror", "mirror",
       round_trips(std::string(25, 'm'), 0, 25, 2500), 4},
      {"mirror throughput, 16 MiB stream", "MiB/s", "mirror", "mirror", echo_stream, 1},
      {"sink throughput, 16 MiB stream", "MiB/s", "sink", "sink", sink_stream, 1},
      {"glyphs bursts", "/s", "glyphs", "glyphs", round_trips("?", 0, 1000, 1250), 4},
  };
}

// ---- running and reporting -------------------------------------------------------------------

std::string bin_dir;

std::vector<std::string> server_command(const char* name) {
  return {bin_dir + "/" + name};
}

std::vector<std::string> baseline_command(const char* mode) {
  return {bin_dir + "/baseline_server", mode};
}

// Starts the program in a fresh namespace, runs `body` on a first connection, stops it.
double with_program(const std::vector<std::string>& command,
                    const std::function<double(pid_t, int)>& body) {
  if (!enter_private_network()) {
    return 0.0;
  }
  const pid_t pid = start(command);
  const int fd = connect_when_ready();
  const double value = fd >= 0 ? body(pid, fd) : 0.0;
  close(fd);
  stop(pid);
  return value;
}

// Runs both measurements, server first in even rounds and baseline first in odd ones, so that
// neither always follows the other.
void alternate(int round, const std::function<void()>& server,
               const std::function<void()>& baseline) {
  if (round % 2 == 0) {
    server();
    baseline();
  } else {
    baseline();
    server();
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

void report(const char* name, const char* unit, double server, double baseline,
            bool higher_better) {
  const double ratio = higher_better ? server / baseline : baseline / server;
  std::printf("%-44s %12.2f %12.2f %-6s %6.3f\n", name, server, baseline, unit, ratio);
}

void run_figure(const figure& entry, int rounds) {
  std::vector<double> server;
  std::vector<double> baseline;
  const auto run = [&](int /*pid*/, int fd) { return entry.run(fd); };
  for (int round = 0; round < rounds * entry.alternations; ++round) {
    alternate(
        round, [&] { server.push_back(with_program(server_command(entry.server), run)); },
        [&] { baseline.push_back(with_program(baseline_command(entry.baseline), run)); });
  }
  report(entry.name, entry.unit, median(server), median(baseline), true);
}

double startup_ms(const std::vector<std::string>& command) {
  if (!enter_private_network()) {
    return 0.0;
  }
  const auto begin = clock_type::now();
  const pid_t pid = start(command);
  const int fd = connect_when_ready();
  const double elapsed =
      std::chrono::duration<double, std::milli>(clock_type::now() - begin).count();
  close(fd);
  stop(pid);
  return elapsed;
}

long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return 0;
}

// Size as installed, without symbols (cmake --install --strip); unstripped if strip is missing.
double stripped_kib(const std::string& path) {
  const std::string copy = "/tmp/portkit-bench-size-" + std::to_string(getpid());
  const std::string& measured = succeeds({"strip", "-o", copy, path}) ? copy : path;
  struct stat info {};
  const double kib =
      stat(measured.c_str(), &info) == 0 ? static_cast<double>(info.st_size) / 1024.0 : 0.0;
  unlink(copy.c_str());
  return kib;
}

void run_process_figures(const char* server, const char* mode, int rounds) {
  std::vector<double> start_server;
  std::vector<double> start_baseline;
  for (int round = 0; round < STARTUP_ROUNDS_PER_ROUND * rounds; ++round) {
    alternate(
        round, [&] { start_server.push_back(startup_ms(server_command(server))); },
        [&] { start_baseline.push_back(startup_ms(baseline_command(mode))); });
  }
  std::vector<double> memory_server;
  std::vector<double> memory_baseline;
  const auto idle_rss = [](pid_t pid, int) { return static_cast<double>(resident_kib(pid)); };
  for (int round = 0; round < rounds; ++round) {
    alternate(
        round, [&] { memory_server.push_back(with_program(server_command(server), idle_rss)); },
        [&] { memory_baseline.push_back(with_program(baseline_command(mode), idle_rss)); });
  }
  const std::string label = std::string(server) + " ";
  report((label + "start-up to accepting").c_str(), "ms", median(start_server),
         median(start_baseline), false);
  report((label + "idle resident memory").c_str(), "KiB", median(memory_server),
         median(memory_baseline), false);
  report((label + "binary size, stripped").c_str(), "KiB", stripped_kib(server_command(server)[0]),
         stripped_kib(baseline_command(mode)[0]), false);
}

// ---- system calls per chunk ------------------------------------------------------------------

struct call_counts {
  long chunks = 0;  // recvfrom calls that returned data
  long recvs = 0;
  long writes = 0;
  long setsockopts = 0;
};

call_counts count_calls(const std::string& trace_path) {
  std::ifstream trace(trace_path);
  call_counts counts;
  std::string line;
  while (std::getline(trace, line)) {
    const std::size_t name_at = line.find_first_not_of("0123456789 ");
    const std::string call = line.substr(name_at, line.find('(', name_at) - name_at);
    const bool returned_data = line.find(") = ") != std::string::npos &&
                               std::strtol(line.c_str() + line.rfind(") = ") + 4, nullptr, 10) > 0;
    counts.recvs += call == "recvfrom" ? 1 : 0;
    counts.chunks += call == "recvfrom" && returned_data ? 1 : 0;
    counts.writes += call == "write" ? 1 : 0;
    counts.setsockopts += call == "setsockopt" ? 1 : 0;
  }
  return counts;
}

// One connection of TRACED_CHUNKS one-chunk exchanges (or sends, for sink) under strace.
void trace_server(const char* server, const std::string& request, std::size_t answer_bytes) {
  const std::string trace_path = "/tmp/portkit-bench-trace-" + std::to_string(getpid());
  std::vector<std::string> command = {
      "strace", "-f", "-qq", "-o", trace_path, "-e", "trace=recvfrom,write,setsockopt"};
  command.push_back(server_command(server)[0]);
  if (!enter_private_network()) {
    return;
  }
  const pid_t tracer = start(command);
  const int fd = connect_when_ready();
  for (int i = 0; i < TRACED_CHUNKS && fd >= 0; ++i) {
    write_all(fd, request.data(), request.size());
    if (answer_bytes > 0) {
      receive_bytes(fd, answer_bytes);
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(200));  // keep sink's chunks apart
    }
  }
  shutdown(fd, SHUT_WR);
  char byte = 0;
  (void)recv(fd, &byte, 1, 0);  // the server has closed this connection
  close(fd);
  // Ending the traced server ends strace, which then has the whole trace written.
  std::ifstream children("/proc/" + std::to_string(tracer) + "/task/" + std::to_string(tracer) +
                         "/children");
  pid_t traced = 0;
  if (children >> traced) {
    kill(traced, SIGKILL);
  }
  waitpid(tracer, nullptr, 0);
  const call_counts counts = count_calls(trace_path);
  unlink(trace_path.c_str());
  const double chunks = counts.chunks > 0 ? static_cast<double>(counts.chunks) : 1.0;
  std::printf(
      "%-8s %6ld chunks: %.3f recv and %.3f write per chunk; %ld recv returned the end; "
      "%ld setsockopt (%.3f per chunk)\n",
      server, counts.chunks, static_cast<double>(counts.chunks) / chunks,
      static_cast<double>(counts.writes) / chunks, counts.recvs - counts.chunks, counts.setsockopts,
      static_cast<double>(counts.setsockopts) / chunks);
}

void run_call_counts() {
  if (!succeeds({"strace", "-V"})) {
    std::printf("strace is not installed: system calls not counted\n");
    return;
  }
  std::printf("\nSystem calls per chunk (strace, %d chunks on one connection):\n", TRACED_CHUNKS);
  trace_server("tally", "2 + 3\n", 13);
  trace_server("mirror", "0123456789", 10);
  trace_server("sink", "0123456789", 0);
  trace_server("drain", "0123456789", 0);
  trace_server("glyphs", "?", 1000);
}

std::string directory_of(const char* path) {
  const std::string text = path;
  const std::size_t slash = text.rfind('/');
  return slash == std::string::npos ? "." : text.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // figures appear as they are measured
  const long asked = argc > 1 ? std::strtol(argv[1], nullptr, 10) : DEFAULT_ROUNDS;
  const int rounds = static_cast<int>(std::clamp(asked, 1L, 1000L));
  bin_dir = directory_of(argv[0]);
  signal(SIGPIPE, SIG_IGN);
  pin_to_cpu(0);
  if (!enter_private_network()) {
    std::fprintf(stderr, "portkit_bench: %s\n", PRIVATE_NETWORK_HELP);
    return 1;
  }
  std::printf(
      "Medians of %d rounds, server and baseline alternating, each first in every other pair "
      "(round trips and bursts 4 pairs a round, start-up 5); ratio 1.000 means as fast (or small) "
      "as the baseline\n\n",
      rounds);
  std::printf("%-44s %12s %12s %-6s %6s\n", "figure", "server", "baseline", "unit", "ratio");
  const std::string only = argc > 2 ? argv[2] : "";
  for (const figure& entry : figures()) {
    if (std::string(entry.name).find(only) != std::string::npos) {
      run_figure(entry, rounds);
    }
  }
  const bool all = only.empty();
  for (const char* server : {"tally", "glyphs", "mirror", "sink"}) {
    if (all || only == "process") {
      run_process_figures(server, server, rounds);
    }
  }
  if (all) {
    run_call_counts();
  }
  return 0;
}
