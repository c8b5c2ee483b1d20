// Drives every server and, interleaved with it round by round, baseline servers that make their
// system calls with no work between them; prints medians and ratios, then bursts of clients at
// once, then the system calls each server makes per chunk. Runs in a network namespace of its
// own, as an ordinary user too. `portkit_bench --help` says how to choose rounds and figures.
// The workloads are in workloads.cpp, the baselines in baseline_server.cpp, the system-call
// counts in call_counts.cpp; this file runs them in turn and prints the report.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
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

void print_header(int rounds) {
  std::printf(
      "Medians of %d rounds; the server and its baselines take turns, a different one first each "
      "round (round trips and bursts 4 turns a round, start-up 5).\nfloor: the same system calls "
      "per chunk with TCP_NODELAY and the servers' queue; plain: the loop as written, a backlog "
      "of 5 and no socket options (stream figures only). Ratio 1.000: as fast (or small) as that "
      "baseline.\n\n",
      rounds);
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

// ---- choosing figures ------------------------------------------------------------------------

constexpr char PROCESS_GROUP[] = "process";  // start-up, memory and size
constexpr char CALLS_GROUP[] = "calls";      // the system calls per chunk
constexpr const char* PROCESS_SERVERS[] = {"tally", "glyphs", "mirror", "sink"};
constexpr const char* PROCESS_FIGURES[] = {"start-up to accepting", "idle resident memory",
                                           "binary size, stripped"};

// Whether a figure runs: every one when no filter is given; else those whose name contains the
// filter, or whose group it names.
bool chosen(const std::string& name, const char* group, const std::string& only) {
  return only.empty() || name.find(only) != std::string::npos || only == group;
}

std::vector<std::string> process_names(const char* server) {
  std::vector<std::string> names(std::size(PROCESS_FIGURES));
  std::transform(std::begin(PROCESS_FIGURES), std::end(PROCESS_FIGURES), names.begin(),
                 [&](const char* what) { return std::string(server) + " " + what; });
  return names;
}

// Whether the filter chooses any figure of the first table: the workloads, start-up, memory, size.
bool chooses_in_table(const std::string& only) {
  const std::vector<figure> workloads = figures();
  const auto process_chosen = [&](const char* server) {
    const std::vector<std::string> names = process_names(server);
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& name) { return chosen(name, PROCESS_GROUP, only); });
  };
  return std::any_of(workloads.begin(), workloads.end(),
                     [&](const figure& entry) { return chosen(entry.name, "", only); }) ||
         std::any_of(std::begin(PROCESS_SERVERS), std::end(PROCESS_SERVERS), process_chosen);
}

bool chooses_burst(const std::string& only) {
  const std::vector<burst_figure> bursts = burst_figures();
  return std::any_of(bursts.begin(), bursts.end(),
                     [&](const burst_figure& burst) { return chosen(burst.name, "", only); });
}

bool chooses_calls(const std::string& only) {
  const std::vector<std::string> names = call_count_names();
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& name) { return chosen(name, CALLS_GROUP, only); });
}

// Start-up, idle memory and size against the floor baseline of the same mode, those chosen.
void run_process_figures(const std::string& bin_dir, const char* server, int rounds,
                         const std::string& only) {
  const std::vector<std::string> names = process_names(server);
  const command_line real = server_command(bin_dir, server);
  const command_line baseline = baseline_command(bin_dir, server, "floor");
  if (chosen(names[0], PROCESS_GROUP, only)) {
    std::vector<double> start_server;
    std::vector<double> start_baseline;
    for (int round = 0; round < STARTUP_ROUNDS_PER_ROUND * rounds; ++round) {
      in_turn(round, {[&] { start_server.push_back(startup_ms(real)); },
                      [&] { start_baseline.push_back(startup_ms(baseline)); }});
    }
    report(names[0].c_str(), "ms", median(start_server), median(start_baseline), -1.0, false);
  }
  if (chosen(names[1], PROCESS_GROUP, only)) {
    std::vector<double> memory_server;
    std::vector<double> memory_baseline;
    const auto idle_rss = [](pid_t pid, int) { return static_cast<double>(resident_kib(pid)); };
    for (int round = 0; round < rounds; ++round) {
      in_turn(round, {[&] { memory_server.push_back(with_program(real, idle_rss)); },
                      [&] { memory_baseline.push_back(with_program(baseline, idle_rss)); }});
    }
    report(names[1].c_str(), "KiB", median(memory_server), median(memory_baseline), -1.0, false);
  }
  if (chosen(names[2], PROCESS_GROUP, only)) {
    report(names[2].c_str(), "KiB", stripped_kib(real[0]), stripped_kib(baseline[0]), -1.0, false);
  }
}

// ---- bursts of clients -----------------------------------------------------------------------

// What one burst came to: the median, the 99th percentile and the slowest of the clients' times,
// and how many were never answered.
struct burst_summary {
  double median_ms = 0;
  double p99_ms = 0;
  double slowest_ms = 0;
  double unanswered = 0;
};

burst_summary summarise(std::vector<double> times) {
  if (times.empty()) {
    const double never = std::numeric_limits<double>::infinity();
    return {never, never, never, 0};
  }
  std::sort(times.begin(), times.end());
  const std::size_t p99_index = (times.size() * 99 + 99) / 100 - 1;
  return {times[times.size() / 2], times[p99_index], times.back(),
          static_cast<double>(
              std::count_if(times.begin(), times.end(), [](double ms) { return std::isinf(ms); }))};
}

std::string milliseconds_text(double ms) {
  if (std::isinf(ms)) {
    return "never";
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", ms);
  return text;
}

void print_burst_header(int rounds) {
  std::printf(
      "\nClients at once: milliseconds from the start of the burst to each client's answer "
      "(tally: its sum; sink: its bytes taken and the connection closed); medians of %d rounds, "
      "each queue in turn. floor: the baseline with the servers' queue; backlog 5: the loop as "
      "written. never: the client was reset, or not answered within %.0f s.\n",
      rounds, BURST_DEADLINE_MS / 1000.0);
  std::printf("%-28s %-10s %9s %9s %9s %10s\n", "figure", "queue", "median", "99th pct", "slowest",
              "unanswered");
}

void run_burst_figure(const std::string& bin_dir, const burst_figure& burst, int rounds) {
  const command_line commands[] = {server_command(bin_dir, burst.server),
                                   baseline_command(bin_dir, burst.server, "floor"),
                                   baseline_command(bin_dir, burst.server, "plain")};
  const char* const labels[] = {"server", "floor", "backlog 5"};
  std::vector<burst_summary> samples[std::size(commands)];
  std::vector<std::function<void()>> measurements;
  for (std::size_t side = 0; side < std::size(commands); ++side) {
    measurements.emplace_back([&, side] {
      std::vector<double> times;
      with_program(commands[side], [&](pid_t, int fd) {
        times = burst_times(fd, burst);
        return 0.0;
      });
      samples[side].push_back(summarise(times));
    });
  }
  for (int round = 0; round < rounds; ++round) {
    in_turn(round, measurements);
  }
  for (std::size_t side = 0; side < std::size(commands); ++side) {
    const auto median_of = [&](double burst_summary::*field) {
      std::vector<double> values(samples[side].size());
      std::transform(samples[side].begin(), samples[side].end(), values.begin(),
                     [&](const burst_summary& sample) { return sample.*field; });
      return median(values);
    };
    std::printf("%-28s %-10s %9s %9s %9s %10.0f\n", side == 0 ? burst.name.c_str() : "",
                labels[side], milliseconds_text(median_of(&burst_summary::median_ms)).c_str(),
                milliseconds_text(median_of(&burst_summary::p99_ms)).c_str(),
                milliseconds_text(median_of(&burst_summary::slowest_ms)).c_str(),
                median_of(&burst_summary::unanswered));
  }
}

// ---- arguments -------------------------------------------------------------------------------

constexpr char USAGE[] =
    "usage: portkit_bench [--help | --version | rounds [figure]]\n"
    "Measures every server against baseline servers and prints medians and ratios; a default\n"
    "run takes about six minutes.\n"
    "  rounds  samples of each figure, a whole number from 1 to 1000 (default 5)\n"
    "  figure  only the figures whose name contains this text, such as \"two-chunk\", \"stream\",\n"
    "          \"connections\", \"clients at once\", \"start-up\", \"memory\", \"size\" or "
    "\"tally\";\n"
    "          \"process\" for start-up, memory and size, \"calls\" for the system calls per "
    "chunk\n";

struct arguments {
  int rounds = DEFAULT_ROUNDS;
  std::string only;
};

bool parse_rounds(const char* text, int* rounds) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || value < 1 || value > 1000) {
    return false;
  }
  *rounds = static_cast<int>(value);
  return true;
}

// Reads the command line; on anything it does not understand, says so with the usage and ends
// with status 2, and on --help or --version prints the usage or the version and ends with status 0.
arguments parse_arguments(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(USAGE, stdout);
    std::exit(0);
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("portkit_bench (portkit) " PORTKIT_VERSION);
    std::exit(0);
  }
  arguments parsed;
  const char* problem = nullptr;
  if (argc > 3) {
    problem = "too many arguments";
  } else if (argc > 1 && !parse_rounds(argv[1], &parsed.rounds)) {
    problem = "rounds must be a whole number from 1 to 1000";
  } else if (argc > 2) {
    parsed.only = argv[2];
    const bool any =
        chooses_in_table(parsed.only) || chooses_burst(parsed.only) || chooses_calls(parsed.only);
    problem = parsed.only.empty() || !any ? "no figure has that name" : nullptr;
  }
  if (problem != nullptr) {
    std::fprintf(stderr, "portkit_bench: %s\n%s", problem, USAGE);
    std::exit(2);
  }
  return parsed;
}

std::string directory_of(const char* path) {
  const std::string text = path;
  const std::size_t slash = text.rfind('/');
  return slash == std::string::npos ? "." : text.substr(0, slash);
}

// A burst holds a descriptor for each of its clients.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // figures appear as they are measured
  const arguments chosen_ones = parse_arguments(argc, argv);
  const int rounds = chosen_ones.rounds;
  const std::string& only = chosen_ones.only;
  const std::string bin_dir = directory_of(argv[0]);
  signal(SIGPIPE, SIG_IGN);
  raise_descriptor_limit();
  pin_to_cpu(0);
  if (!enter_private_network()) {
    std::fprintf(stderr, "portkit_bench: %s\n", PRIVATE_NETWORK_HELP);
    return 1;
  }
  if (chooses_in_table(only)) {
    print_header(rounds);
  }
  for (const figure& entry : figures()) {
    if (chosen(entry.name, "", only)) {
      run_figure(bin_dir, entry, rounds);
    }
  }
  for (const char* server : PROCESS_SERVERS) {
    run_process_figures(bin_dir, server, rounds, only);
  }
  if (chooses_burst(only)) {
    print_burst_header(rounds);
  }
  for (const burst_figure& burst : burst_figures()) {
    if (chosen(burst.name, "", only)) {
      run_burst_figure(bin_dir, burst, rounds);
    }
  }
  if (chooses_calls(only)) {
    run_call_counts(bin_dir,
                    [&](const std::string& name) { return chosen(name, CALLS_GROUP, only); });
  }
  return 0;
}
