// Drives every server and, interleaved with it round by round, baseline servers that make their
// system calls with no work between them; prints medians and ratios, then the system calls each
// server makes per chunk. Runs in a network namespace of its own, as an ordinary user too.
//   portkit_bench [rounds [figure]]   (figure: run only the figures whose name contains it, or
//                                      "process" for start-up, memory and size alone)
// The workloads are in workloads.cpp, the baselines in baseline_server.cpp, the system-call
// counts in call_counts.cpp; this file runs them in turn and prints the report.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "call_counts.h"
#include "private_network.h"
#include "processes.h"
#include "workloads.h"

namespace {

constexpr int DEFAULT_ROUNDS = 5;
constexpr int STARTUP_ROUNDS_PER_ROUND = 5;  // start-up is short and noisy: take more samples

// ---- running in turn -------------------------------------------------------------------------

// Runs every measurement once, starting with a different one each round, so that none always
// follows another.
void in_turn(int round, const std::vector<std::function<void()>>& measurements) {
  const std::size_t count = measurements.size();
  for (std::size_t i = 0; i < count; ++i) {
    measurements[(static_cast<std::size_t>(round) + i) % count]();
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

// ---- report ----------------------------------------------------------------------------------

void print_header() {
  std::printf("%-40s %11s %11s %11s %-6s %8s %8s\n", "figure", "server", "floor", "plain", "unit",
              "/floor", "/plain");
}

// Ratios are "as good as the baseline" at 1.000: rates are divided by the baseline's, sizes and
// times the other way round. A plain figure below zero was not measured.
void report(const char* name, const char* unit, double server, double floor, double plain,
            bool higher_better) {
  const auto ratio = [&](double baseline) {
    return higher_better ? server / baseline : baseline / server;
  };
  std::printf("%-40s %11.2f %11.2f ", name, server, floor);
  if (plain < 0) {
    std::printf("%11s %-6s %8.3f %8s\n", "-", unit, ratio(floor), "-");
  } else {
    std::printf("%11.2f %-6s %8.3f %8.3f\n", plain, unit, ratio(floor), ratio(plain));
  }
}

// ---- figures ---------------------------------------------------------------------------------

void run_figure(const std::string& bin_dir, const figure& entry, int rounds) {
  std::vector<double> server;
  std::vector<double> floor;
  std::vector<double> plain;
  const auto run = [&](pid_t /*pid*/, int fd) { return entry.run(fd); };
  const auto measure_into = [&](std::vector<double>& values, const command_line& command) {
    return [&values, command, &run] { values.push_back(with_program(command, run)); };
  };
  std::vector<std::function<void()>> measurements = {
      measure_into(server, server_command(bin_dir, entry.server)),
      measure_into(floor, baseline_command(bin_dir, entry.server, "floor"))};
  if (entry.stream) {
    measurements.push_back(measure_into(plain, baseline_command(bin_dir, entry.server, "plain")));
  }
  for (int round = 0; round < rounds * entry.alternations; ++round) {
    in_turn(round, measurements);
  }
  report(entry.name, entry.unit, median(server), median(floor), entry.stream ? median(plain) : -1.0,
         true);
}

double startup_ms(const command_line& command) {
  if (!enter_private_network()) {
    return 0.0;
  }
  const auto begin = std::chrono::steady_clock::now();
  const pid_t pid = start(command);
  const int fd = connect_when_ready();
  const double elapsed =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
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

// Start-up, idle memory and size against the floor baseline of the same mode.
void run_process_figures(const std::string& bin_dir, const char* server, int rounds) {
  const command_line real = server_command(bin_dir, server);
  const command_line baseline = baseline_command(bin_dir, server, "floor");
  std::vector<double> start_server;
  std::vector<double> start_baseline;
  for (int round = 0; round < STARTUP_ROUNDS_PER_ROUND * rounds; ++round) {
    in_turn(round, {[&] { start_server.push_back(startup_ms(real)); },
                    [&] { start_baseline.push_back(startup_ms(baseline)); }});
  }
  std::vector<double> memory_server;
  std::vector<double> memory_baseline;
  const auto idle_rss = [](pid_t pid, int) { return static_cast<double>(resident_kib(pid)); };
  for (int round = 0; round < rounds; ++round) {
    in_turn(round, {[&] { memory_server.push_back(with_program(real, idle_rss)); },
                    [&] { memory_baseline.push_back(with_program(baseline, idle_rss)); }});
  }
  const std::string label = std::string(server) + " ";
  report((label + "start-up to accepting").c_str(), "ms", median(start_server),
         median(start_baseline), -1.0, false);
  report((label + "idle resident memory").c_str(), "KiB", median(memory_server),
         median(memory_baseline), -1.0, false);
  report((label + "binary size, stripped").c_str(), "KiB", stripped_kib(real[0]),
         stripped_kib(baseline[0]), -1.0, false);
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
  const std::string bin_dir = directory_of(argv[0]);
  signal(SIGPIPE, SIG_IGN);
  pin_to_cpu(0);
  if (!enter_private_network()) {
    std::fprintf(stderr, "portkit_bench: %s\n", PRIVATE_NETWORK_HELP);
    return 1;
  }
  std::printf(
      "Medians of %d rounds; the server and its baselines take turns, a different one first each "
      "round (round trips and bursts 4 turns a round, start-up 5).\nfloor: the same system calls "
      "per chunk with TCP_NODELAY; plain: the loop as written, no socket options (stream figures "
      "only). Ratio 1.000: as fast (or small) as that baseline.\n\n",
      rounds);
  print_header();
  const std::string only = argc > 2 ? argv[2] : "";
  for (const figure& entry : figures()) {
    if (std::string(entry.name).find(only) != std::string::npos) {
      run_figure(bin_dir, entry, rounds);
    }
  }
  const bool all = only.empty();
  for (const char* server : {"tally", "glyphs", "mirror", "sink"}) {
    if (all || only == "process") {
      run_process_figures(bin_dir, server, rounds);
    }
  }
  if (all || only == "calls") {
    run_call_counts(bin_dir);
  }
  return 0;
}
