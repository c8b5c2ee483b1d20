// System calls per chunk, counted with strace on the real servers.
#pragma once

#include <string>
#include <vector>

// The names of the workloads whose system calls are counted, as printed.
std::vector<std::string> call_count_names();

// Prints, for one-request-at-a-time and for bulk workloads (those whose name contains `only`, all
// when it is empty), the system calls each server makes per chunk; says so and returns when
// strace is missing.
void run_call_counts(const std::string& bin_dir, const std::string& only);
