#include "confinement.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

// The filter is written by hand: a few dozen comparisons are a short BPF program, and the programs
// keep linking nothing but the C++ runtime.
#if defined(__x86_64__)
#define PORTKIT_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define PORTKIT_AUDIT_ARCH AUDIT_ARCH_AARCH64
#endif

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
    // The manager's notifications: STOPPING=1 (send), a connection or a failure (sendmsg).
    {SYS_sendto},
    {SYS_sendmsg},
// The stop: its deadline, the default action restored and the signal raised again.
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
    {SYS_tgkill},
    {SYS_exit},
    {SYS_exit_group},
};
const std::size_t SERVER_CALL_COUNT = sizeof SERVER_CALLS / sizeof SERVER_CALLS[0];

const allowed_call CLIENT_CALLS[] = {
    {SYS_read},  {SYS_write},
#ifdef SYS_poll
    {SYS_poll},
#endif
    {SYS_ppoll}, {SYS_rt_sigreturn}, {SYS_restart_syscall}, {SYS_exit}, {SYS_exit_group},
};
const std::size_t CLIENT_CALL_COUNT = sizeof CLIENT_CALLS / sizeof CLIENT_CALLS[0];

#ifdef PORTKIT_UNCONFINED

void confine(const allowed_call* /*calls*/, std::size_t /*count*/) {}

#else

namespace {

// Landlock's file-system rights by the ABI version that brought them; the kernel may know more
// than the headers the program was built with.
constexpr std::uint64_t RIGHTS_OF_ABI_1 = (1ULL << 13) - 1;  // execute ... make a symlink
constexpr std::uint64_t RIGHT_REFER = 1ULL << 13;            // 2
constexpr std::uint64_t RIGHT_TRUNCATE = 1ULL << 14;         // 3
constexpr std::uint64_t RIGHT_IOCTL_DEV = 1ULL << 15;        // 5

#ifdef PORTKIT_AUDIT_ARCH

// Two instructions a plain call, six for one with an argument: room for every list above.
constexpr std::size_t MAX_INSTRUCTIONS = 192;

constexpr std::uint32_t REFUSED = SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(EPERM));

struct filter {
  sock_filter code[MAX_INSTRUCTIONS];
  std::size_t length;
};

void emit(filter* program, sock_filter instruction) {
  if (program->length < MAX_INSTRUCTIONS) {
    program->code[program->length] = instruction;
  }
  ++program->length;  // past the end: the program is not installed
}

constexpr sock_filter statement(std::uint16_t code, std::uint32_t value) {
  return sock_filter{code, 0, 0, value};
}

constexpr sock_filter jump(std::uint16_t code, std::uint32_t value, std::uint8_t if_true,
                           std::uint8_t if_false) {
  return sock_filter{code, if_true, if_false, value};
}

// The low 32 bits of a call's argument, where the architecture keeps them.
constexpr std::uint32_t argument_offset(int argument) {
  const auto offset = offsetof(seccomp_data, args) + static_cast<std::size_t>(argument) * 8;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return static_cast<std::uint32_t>(offset + 4);
#else
  return static_cast<std::uint32_t>(offset);
#endif
}

// A call let through, by its number alone or with one argument among two values. Every rule
// returns or falls through with the accumulator still holding the call's number.
void emit_rule(filter* program, const allowed_call& call) {
  const auto number = static_cast<std::uint32_t>(call.number);
  if (call.argument < 0) {
    emit(program, jump(BPF_JMP | BPF_JEQ | BPF_K, number, 0, 1));
    emit(program, statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return;
  }
  emit(program, jump(BPF_JMP | BPF_JEQ | BPF_K, number, 0, 5));
  emit(program, statement(BPF_LD | BPF_W | BPF_ABS, argument_offset(call.argument)));
  emit(program, jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call.values[0]), 2, 0));
  emit(program, jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call.values[1]), 1, 0));
  emit(program, statement(BPF_RET | BPF_K, REFUSED));
  emit(program, statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
}

void build_filter(filter* program, const allowed_call* calls, std::size_t count) {
  const auto arch = static_cast<std::uint32_t>(offsetof(seccomp_data, arch));
  const auto number = static_cast<std::uint32_t>(offsetof(seccomp_data, nr));
  emit(program, statement(BPF_LD | BPF_W | BPF_ABS, arch));
  emit(program, jump(BPF_JMP | BPF_JEQ | BPF_K, PORTKIT_AUDIT_ARCH, 1, 0));
  emit(program, statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
  emit(program, statement(BPF_LD | BPF_W | BPF_ABS, number));
#ifdef __x86_64__
  // The x32 calls share the architecture's tag; none of them is this program's.
  emit(program, jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000U, 0, 1));
  emit(program, statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
#endif
  for (std::size_t i = 0; i < count; ++i) {
    emit_rule(program, calls[i]);
  }
  emit(program, statement(BPF_RET | BPF_K, REFUSED));
}

void install_filter(const allowed_call* calls, std::size_t count) {
  filter program{};
  build_filter(&program, calls, count);
  if (program.length > MAX_INSTRUCTIONS) {
    return;
  }
  const sock_fprog installed{static_cast<unsigned short>(program.length), program.code};
  // A kernel without seccomp filters leaves the program as it was: it loses nothing by that.
  (void)prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &installed, 0, 0);
}

#endif

std::uint64_t rights_of_abi(long abi) {
  std::uint64_t rights = RIGHTS_OF_ABI_1;
  if (abi >= 2) {
    rights |= RIGHT_REFER;
  }
  if (abi >= 3) {
    rights |= RIGHT_TRUNCATE;
  }
  if (abi >= 5) {
    rights |= RIGHT_IOCTL_DEV;
  }
  return rights;
}

// Every file-system right handled and none granted: no path can be opened, made or removed.
void close_file_system() {
  const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0,
                           static_cast<unsigned long>(LANDLOCK_CREATE_RULESET_VERSION));
  if (abi < 1) {
    return;  // no Landlock here: the filter alone keeps files closed
  }
  landlock_ruleset_attr rules{};
  rules.handled_access_fs = rights_of_abi(abi);
  const long ruleset = syscall(SYS_landlock_create_ruleset, &rules, sizeof rules, 0UL);
  if (ruleset < 0) {
    return;
  }
  (void)syscall(SYS_landlock_restrict_self, ruleset, 0UL);
  (void)close(static_cast<int>(ruleset));
}

// valgrind runs the program's code on its own, with calls of its own that a filter would refuse
// and files of its own: under it, and only there, the program runs unconfined. Natively the check
// is a few instructions that do nothing.
bool under_valgrind() {
#ifdef RUNNING_ON_VALGRIND
  return RUNNING_ON_VALGRIND != 0;
#else
  return false;
#endif
}

}  // namespace

void confine(const allowed_call* calls, std::size_t count) {
  if (under_valgrind()) {
    return;
  }
  // Only fails for arguments other than these; both steps below need it.
  (void)prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  close_file_system();
#ifdef PORTKIT_AUDIT_ARCH
  install_filter(calls, count);
#else
  (void)calls;
  (void)count;
#endif
}

#endif
