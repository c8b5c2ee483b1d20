#include "server_calls.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

const allowed_call SERVER_CALLS[] = {
    // Per chunk, so first: the request, its answer (or copy), and what waits behind it.
    {SYS_recvfrom},
    {SYS_write},
    {SYS_ioctl, 1, {FIONREAD, SIOCOUTQ}},
    {SYS_setsockopt},
    {SYS_getsockopt},
// Per connection, and the waits of write_all, the stop and the pause after a failed accept.
#ifdef SYS_accept
    {SYS_accept},
#endif
    {SYS_accept4},
    {SYS_close},
#ifdef SYS_poll
    {SYS_poll},
#endif
    {SYS_ppoll},
    {SYS_fcntl, 1, {F_GETFL, F_SETFL}},
    {SYS_nanosleep},
    {SYS_clock_nanosleep},
    {SYS_clock_gettime},
    // The manager's notifications without a descriptor (STOPPING=1, STATUS=), on its connected
    // socket: without an address, so no datagram goes anywhere else.
    {SYS_sendto, 5, {0, 0}},
// The stop: its deadline, the default action restored and the signal raised again, to this
// process alone. glibc's abort does the same.
#ifdef SYS_alarm
    {SYS_alarm},
#endif
    {SYS_setitimer},
    {SYS_rt_sigaction},
    {SYS_rt_sigprocmask},
    {SYS_rt_sigreturn},
    {SYS_restart_syscall},
    {SYS_getpid},
    {SYS_gettid},
    {SYS_tgkill, 0, {OWN_PROCESS, OWN_PROCESS}},
    // glibc's fatal lines ("*** stack smashing detected ***"), before it aborts.
    {SYS_writev, 0, {STDERR_FILENO, STDERR_FILENO}},
    {SYS_exit},
    {SYS_exit_group},
    // A manager's store: the connection handed to it at a stop, and the answer a peer did not
    // take diverted to a pipe (the socket kept aside, the pipe in its descriptor's place).
    {SYS_sendmsg},
    {SYS_dup},
    {SYS_dup3},
};
const std::size_t SERVER_CALL_COUNT = sizeof SERVER_CALLS / sizeof SERVER_CALLS[0];
const std::size_t STORE_CALL_COUNT = 3;
