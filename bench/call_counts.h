// System calls per chunk, counted with strace on the real servers.
#pragma once

#include <functional>
#include <string>
#include <vector>

// The names of the workloads whose system calls are counted, as printed.
std::vector<std::string> call_count_names();

// Prints, for the one-request-at-a-time and bulk workloads whose name `chosen` accepts, the
// system calls each server makes per chunk; says so and returns when strace is missing.
void run_call_counts(const std::string& bin_dir,
                     const std::function<bool(const std::string&)>& chosen);
