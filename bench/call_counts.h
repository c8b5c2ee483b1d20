// System calls per chunk, counted with strace on the real servers.
#pragma once

#include <string>

// Prints, for one-request-at-a-time and for bulk workloads, the system calls each server makes
// per chunk; says so and returns when strace is missing.
void run_call_counts(const std::string& bin_dir);
