// What the benchmark measures: each figure is a workload driven over one connection to a server
// and, in the same way, to the baseline servers.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Drives one connection and returns the figure: a rate, higher is better; 0 on failure.
using measure = std::function<double(int fd)>;

struct figure {
  const char* name;
  const char* unit;
  const char* server;  // the program under bin/, and the baseline server's mode
  measure run;
  int alternations;  // server-baseline turns per round: short figures alternate more often
  bool stream;       // also measured against the baseline as the algorithm is written
};

std::vector<figure> figures();

// A burst: `clients` connections started at once, each sending one request and its end; each is
// timed from the start of the burst to its answer (`tally`) or to the server's close once it has
// taken the bytes (`sink`).
struct burst_figure {
  std::string name;
  const char* server;
  std::size_t clients;
};

// Never answered within this bound: such a client's time is infinite.
inline constexpr double BURST_DEADLINE_MS = 10000.0;

std::vector<burst_figure> burst_figures();

// Ends the figure's own connection `fd`, then runs the burst; milliseconds, one per client.
std::vector<double> burst_times(int fd, const burst_figure& burst);
