// The system calls a server may make once it is set up (see confinement.h).
#pragma once

#include <cstddef>

#include "confinement.h"

// Every call of a server's loop after set-up: connections, chunks, answers, the manager's
// notifications, the stop signals and their deadline, the pauses, the exit and glibc's fatal
// lines. The last STORE_CALL_COUNT of them serve a manager's descriptor store alone, and are left
// out where none keeps descriptors.
extern const allowed_call SERVER_CALLS[];
extern const std::size_t SERVER_CALL_COUNT;
extern const std::size_t STORE_CALL_COUNT;
