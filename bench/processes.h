// The benchmark's processes and connections: programs started pinned to a CPU of their own, each
// in a fresh network namespace, and connections made as soon as they accept.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

using command_line = std::vector<std::string>;

// The driver runs on the first CPU and the programs it starts on the second, when there are two,
// so that scheduling does not decide the figures.
void pin_to_cpu(std::size_t cpu);

// Starts a command on the second CPU with standard input and output on /dev/null.
pid_t start(const command_line& command);

// Runs a command to its end; true when it exits with status 0.
bool succeeds(const command_line& command);

void stop(pid_t pid);

// Connects as soon as the server accepts, for at most ten seconds; -1 if it never does.
int connect_when_ready();

// Starts the command in a fresh namespace, runs `body` on a first connection, stops it; 0 when
// there is no namespace or no connection.
double with_program(const command_line& command, const std::function<double(pid_t, int)>& body);

// A server under test, or the baseline server in one of its two variants (floor or plain).
command_line server_command(const std::string& bin_dir, const char* server);
command_line baseline_command(const std::string& bin_dir, const char* server, const char* variant);
