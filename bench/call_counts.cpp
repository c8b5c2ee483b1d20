#include "call_counts.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "full_io.h"
#include "private_network.h"
#include "processes.h"

namespace {

constexpr int PING_PONG_CHUNKS = 1000;
constexpr std::size_t BULK_CHUNKS = 20000;
constexpr std::size_t BULK_PROMPTS = 100;  // each answered with 1000 one-byte writes

struct call_counts {
  long chunks = 0;  // recvfrom calls that returned data
  long recvs = 0;
  long writes = 0;
  long ioctls = 0;
  long socket_options = 0;  // setsockopt and getsockopt
};

call_counts count_calls(const std::string& trace_path) {
  std::ifstream trace(trace_path);
  call_counts counts;
  std::string line;
  while (std::getline(trace, line)) {
    const std::size_t name_at = line.find_first_not_of("0123456789 ");
    const std::string call = line.substr(name_at, line.find('(', name_at) - name_at);
    const std::size_t result_at = line.rfind(") = ");
    const bool returned_data = result_at != std::string::npos &&
                               std::strtol(line.c_str() + result_at + 4, nullptr, 10) > 0;
    counts.recvs += call == "recvfrom" ? 1 : 0;
    counts.chunks += call == "recvfrom" && returned_data ? 1 : 0;
    counts.writes += call == "write" ? 1 : 0;
    counts.ioctls += call == "ioctl" ? 1 : 0;
    counts.socket_options += call == "setsockopt" || call == "getsockopt" ? 1 : 0;
  }
  return counts;
}

// Runs the server under strace for one connection driven by `drive`, then prints its counts.
void trace_server(const std::string& bin_dir, const char* label, const char* server,
                  const std::function<void(int)>& drive) {
  const std::string trace_path = "/tmp/portkit-bench-trace-" + std::to_string(getpid());
  command_line command = {"strace",
                          "-f",
                          "-qq",
                          "-o",
                          trace_path,
                          "-e",
                          "trace=recvfrom,write,ioctl,setsockopt,getsockopt"};
  command.push_back(server_command(bin_dir, server)[0]);
  if (!enter_private_network()) {
    return;
  }
  const pid_t tracer = start(command);
  const int fd = connect_when_ready();
  if (fd >= 0) {
    drive(fd);
    shutdown(fd, SHUT_WR);
    char byte = 0;
    while (recv(fd, &byte, 1, 0) > 0) {
      // the rest of any answer, up to the server's close of this connection
    }
    close(fd);
  }
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
  const long total = counts.recvs + counts.writes + counts.ioctls + counts.socket_options;
  std::printf(
      "%-36s %7ld %8.3f %8.3f %8.4f %8.4f %8.3f\n", label, counts.chunks,
      static_cast<double>(counts.recvs) / chunks, static_cast<double>(counts.writes) / chunks,
      static_cast<double>(counts.ioctls) / chunks,
      static_cast<double>(counts.socket_options) / chunks, static_cast<double>(total) / chunks);
}

// One request at a time, each answer read whole before the next; none for the printing servers.
std::function<void(int)> one_at_a_time(const std::string& request, std::size_t answer_bytes) {
  return [=](int fd) {
    for (int i = 0; i < PING_PONG_CHUNKS; ++i) {
      write_all(fd, request.data(), request.size());
      if (answer_bytes > 0) {
        stream_through(fd, "", answer_bytes);
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // keep the chunks apart
      }
    }
  };
}

// Whole chunks sent as one stream while the answers are read back.
std::function<void(int)> bulk(const std::string& request, bool answered,
                              std::size_t chunks = BULK_CHUNKS) {
  return [=](int fd) {
    std::string data;
    for (std::size_t i = 0; i < chunks; ++i) {
      data += request;
    }
    stream_through(fd, data, answered ? UNTIL_CLOSED : 0, std::chrono::minutes(2));
  };
}

struct traced_workload {
  const char* name;
  const char* server;
  std::function<void(int)> drive;
};

std::vector<traced_workload> traced_workloads() {
  return {
      {"tally, one request at a time", "tally", one_at_a_time("2 + 3\n", 13)},
      {"mirror, one chunk at a time", "mirror", one_at_a_time("0123456789", 10)},
      {"sink, one chunk at a time", "sink", one_at_a_time("0123456789", 0)},
      {"drain, one chunk at a time", "drain", one_at_a_time("0123456789", 0)},
      {"glyphs, one prompt at a time", "glyphs", one_at_a_time("?", 1000)},
      {"tally, pipelined stream", "tally", bulk("1234+56789", true)},
      {"mirror, stream", "mirror", bulk("0123456789", true)},
      {"sink, stream", "sink", bulk("0123456789", false)},
      {"glyphs, pipelined prompts", "glyphs", bulk("0123456789", true, BULK_PROMPTS)},
  };
}

}  // namespace

std::vector<std::string> call_count_names() {
  const std::vector<traced_workload> workloads = traced_workloads();
  std::vector<std::string> names(workloads.size());
  std::transform(workloads.begin(), workloads.end(), names.begin(),
                 [](const traced_workload& workload) { return workload.name; });
  return names;
}

void run_call_counts(const std::string& bin_dir,
                     const std::function<bool(const std::string&)>& chosen) {
  if (!succeeds({"strace", "-V"})) {
    std::printf("strace is not installed: system calls not counted\n");
    return;
  }
  std::printf(
      "\nSystem calls per chunk (strace -f; the recv count includes the one that returns "
      "the end; ioctl is FIONREAD; socket options are TCP_CORK, glyphs' getsockopt, and those "
      "set on the listening socket or each connection):\n");
  std::printf("%-36s %7s %8s %8s %8s %8s %8s\n", "workload", "chunks", "recv", "write", "ioctl",
              "sockopt", "total");
  for (const traced_workload& workload : traced_workloads()) {
    if (chosen(workload.name)) {
      trace_server(bin_dir, workload.name, workload.server, workload.drive);
    }
  }
}
