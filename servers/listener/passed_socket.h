// A listening socket handed over by a service manager (socket activation).
#pragma once

// The listening socket passed to this process as descriptor 3 (LISTEN_PID is its pid and
// LISTEN_FDS is 1), made blocking; -1 when none was passed to it. Anything else passed ends the
// process with status 1 and one line on standard error.
int passed_listener();
