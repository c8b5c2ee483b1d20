// The iterative TCP listener that every server runs: one connection at a time, each read in
// chunks of at most CHUNK_SIZE bytes, every chunk handed to the server's handler.
#pragma once

#include <cstdint>

inline constexpr int CHUNK_SIZE = 10;

// A server's handler: the connection, the chunk's first byte and its length (1 to CHUNK_SIZE).
// The chunk is not NUL-terminated and belongs to the listener; it is valid only during the call.
using chunk_handler = void (*)(int connection, const char* chunk, std::int32_t length);

// Sets up the listening socket on SERVICE_PORT, or takes the one a service manager passed (with
// the connection a previous instance left it, served first), tells the manager it is ready, and
// serves connections until SIGTERM or SIGINT asks it to stop. Then it hands every byte that has
// already arrived to the handler (the rest of the current connection and, unless a manager that
// keeps descriptors holds the socket, the connections queued), ends each of those connections
// after its answers (cleanly only when the peer is done; otherwise with a reset, or, where such a
// manager holds the socket, by leaving the current one to it, at once, with what is left of the
// answer being written where that manager keeps answers too), and ends as that signal would have
// ended it, within STOP_DEADLINE_S. A failed set-up ends the process with status 1 and one line on
// standard error, also told to the manager; for a server whose handler prints (`output_needed`),
// a closed standard output is one.
[[noreturn]] void run_listener(chunk_handler handler, bool output_needed = false);
