// What a program gives up for good once it is set up, so that a fault in what reads the network
// can do no more than the program's own loop does: no new privileges, no file system (Landlock,
// where the kernel has it) and no system call but those its loop, stops and failures make.
#pragma once

#include <cstddef>

// A system call a confined program may make; with `argument` (0 to 5; -1 for none), only when
// that argument is one of `values` (a request of ioctl, a command of fcntl).
struct allowed_call {
  long number;
  int argument = -1;
  unsigned long values[2] = {};
};

// Every call of a server's loop after set-up: connections, chunks, answers, the manager's
// notifications, the stop signals and their deadline, the pauses, the exit.
extern const allowed_call SERVER_CALLS[];
extern const std::size_t SERVER_CALL_COUNT;

// Every call of client after it has connected: its input, its output, the connection, the exit.
extern const allowed_call CLIENT_CALLS[];
extern const std::size_t CLIENT_CALL_COUNT;

// Sets no-new-privileges, closes the file system to the process (every right Landlock knows
// handled, none granted), then installs a filter that lets through only `calls`, for the
// architecture the program was built for: any other call fails with EPERM, which every call the
// programs make already handles; a call of another architecture ends the process. Descriptors
// already open keep working. Where the kernel lacks one of these, the process runs without it, as
// before; where the build cannot be confined (a sanitizer's run time needs calls of its own), this
// does nothing.
void confine(const allowed_call* calls, std::size_t count);
