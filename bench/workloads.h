// What the benchmark measures: each figure is a workload driven over one connection to a server
// and, in the same way, to the baseline servers.
#pragma once

#include <functional>
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
