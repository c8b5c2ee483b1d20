// What a program gives up for good once it is set up, so that a fault in what reads the network
// can do no more than the program's own loop does: no new privileges, no file system and no signal
// beyond itself (Landlock, where the kernel has it) and no system call but those its loop, stops
// and failures make. Each program keeps its list beside the code that makes the calls.
#pragma once

#include <cstddef>

// A system call a confined program may make; with `argument` (0 to 5; -1 for none), only when the
// low 32 bits of that argument, all the kernel reads of an int, a descriptor or a request, are one
// of `values`.
struct allowed_call {
  long number;
  int argument = -1;
  unsigned long values[2] = {};
};

// In `values`: the process's own id, as it is when confine runs.
inline constexpr unsigned long OWN_PROCESS = static_cast<unsigned long>(-1);

// What confine could not take, as a line such as "confined without Landlock (Operation not
// supported)"; empty when it took every step.
struct confinement_gaps {
  char text[384];  // whole, whatever was left out and why
};

// Sets no-new-privileges, closes the file system and signals to other processes (every right
// Landlock knows handled, none granted), then installs a filter that lets through only `calls`,
// for the architecture the program was built for: any other call fails with EPERM, which every
// call the programs make already handles; a call of another architecture ends the process.
// Descriptors already open keep working. A step the kernel or an outer filter refuses is left out,
// and one that an outer filter would end the process for is found by trying the steps first in a
// short-lived child, so that no filter of a caller's can end the program at a step; where no child
// can be made, only the steps prctl takes are taken (prctl has just returned). The steps left out
// are in the result. Where the build cannot be confined (a sanitizer's run time needs calls of its
// own), or under valgrind, this does nothing.
confinement_gaps confine(const allowed_call* calls, std::size_t count);
