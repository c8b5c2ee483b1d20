#include "confinement.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "full_io.h"

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

#ifdef PORTKIT_UNCONFINED

confinement_gaps confine(const allowed_call* /*calls*/, std::size_t /*count*/) {
  return {};
}

#else

namespace {

// Landlock's rights and scopes by the ABI version that brought them; the kernel may know more than
// the headers the program was built with, so the ruleset's attributes are spelled out here.
constexpr std::uint64_t RIGHTS_OF_ABI_1 = (1ULL << 13) - 1;      // execute ... make a symlink
constexpr std::uint64_t RIGHT_REFER = 1ULL << 13;                // 2
constexpr std::uint64_t RIGHT_TRUNCATE = 1ULL << 14;             // 3
constexpr std::uint64_t RIGHT_IOCTL_DEV = 1ULL << 15;            // 5
constexpr std::uint64_t SCOPE_ABSTRACT_UNIX_SOCKET = 1ULL << 0;  // 6
constexpr std::uint64_t SCOPE_SIGNAL = 1ULL << 1;                // 6

struct ruleset_attributes {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
  std::uint64_t scoped;
};

// The steps, in order. The filter is installed with seccomp(2) and SECCOMP_FILTER_FLAG_SPEC_ALLOW:
// kernels 4.17 to 5.15 otherwise force the speculative-store mitigation on a filtered process, a
// cost on every call that guards against code the programs never run; where that call is refused,
// prctl installs it all the same.
enum step : unsigned char {
  NO_NEW_PRIVILEGES,
  LANDLOCK,
  FILTER_BY_SECCOMP,
  FILTER_BY_PRCTL,
  STEP_COUNT
};

// `taken` until something is known against the step: a refusal, a trial it ended, a trial that
// could not be run.
enum class outcome : unsigned char { taken, refused, ended_trial, untried };

struct step_result {
  outcome what;
  int detail;  // the errno of a refusal or of the failed trial, the signal that ended a trial
};

#ifdef PORTKIT_AUDIT_ARCH

// Two instructions a plain call, six for one with an argument: room for every list.
constexpr std::size_t MAX_INSTRUCTIONS = 192;

struct filter {
  sock_filter code[MAX_INSTRUCTIONS];
  std::size_t length;
};

constexpr std::uint32_t REFUSED = SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(EPERM));

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

std::uint32_t value_of(unsigned long value) {
  return static_cast<std::uint32_t>(value == OWN_PROCESS ? static_cast<unsigned long>(getpid())
                                                         : value);
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
  emit(program, jump(BPF_JMP | BPF_JEQ | BPF_K, value_of(call.values[0]), 2, 0));
  emit(program, jump(BPF_JMP | BPF_JEQ | BPF_K, value_of(call.values[1]), 1, 0));
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

int install_filter(filter& program, step how) {
  if (program.length > MAX_INSTRUCTIONS) {
    return E2BIG;
  }
  const sock_fprog installed{static_cast<unsigned short>(program.length), program.code};
  if (how == FILTER_BY_PRCTL) {
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &installed, 0, 0) == 0 ? 0 : errno;
  }
  if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_SPEC_ALLOW, &installed) ==
      0) {
    return 0;
  }
  if (errno != EINVAL) {
    return errno;
  }
  // A kernel before 4.17 knows no such flag, nor the mitigation it spares.
  return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0UL, &installed) == 0 ? 0 : errno;
}

#else

struct filter {};

void build_filter(filter* /*program*/, const allowed_call* /*calls*/, std::size_t /*count*/) {}

int install_filter(filter& /*program*/, step /*how*/) {
  return ENOSYS;  // no filter is written for this architecture
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

// Every file-system right handled and none granted: no path can be opened, made or removed; and,
// from ABI 6, no signal reaches a process outside this one, nor a datagram an abstract socket
// outside it (the manager's socket, connected before, is still reached).
int restrict_with_landlock() {
  const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0,
                           static_cast<unsigned long>(LANDLOCK_CREATE_RULESET_VERSION));
  if (abi < 1) {
    return abi < 0 ? errno : EOPNOTSUPP;
  }
  const ruleset_attributes rules{rights_of_abi(abi), 0,
                                 abi >= 6 ? SCOPE_SIGNAL | SCOPE_ABSTRACT_UNIX_SOCKET : 0};
  const long ruleset = syscall(SYS_landlock_create_ruleset, &rules, sizeof rules, 0UL);
  if (ruleset < 0) {
    return errno;
  }
  const int error = syscall(SYS_landlock_restrict_self, ruleset, 0UL) == 0 ? 0 : errno;
  (void)close(static_cast<int>(ruleset));
  return error;
}

int take(step which, filter& program) {
  switch (which) {
    case NO_NEW_PRIVILEGES:
      return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 ? 0 : errno;
    case LANDLOCK:
      return restrict_with_landlock();
    default:
      return install_filter(program, which);
  }
}

// Takes every step not left out, in order, each announced on `announce` (a trial's pipe) first.
void take_steps(filter& program, int announce, step_result* results) {
  for (unsigned char which = 0; which < STEP_COUNT; ++which) {
    const bool filtered =
        which == FILTER_BY_PRCTL && results[FILTER_BY_SECCOMP].what == outcome::taken;
    if (results[which].what != outcome::taken || filtered) {
      continue;  // left out by a trial, or the filter is in already
    }
    if (announce >= 0 && !write_all(announce, reinterpret_cast<const char*>(&which), 1)) {
      _exit(1);
    }
    const int error = take(static_cast<step>(which), program);
    if (error != 0) {
      results[which] = {outcome::refused, error};
    }
  }
}

// What a trial showed: the child (-1 where none could be made, for `error`), the step it announced
// last (STEP_COUNT for none), and how it ended.
struct trial {
  pid_t child;
  int error;
  unsigned char last;
  int status;
};

// Runs the steps not yet left out in a child, which they confine in its parent's place.
trial run_trial(filter& program, const step_result* results) {
  trial run{-1, 0, STEP_COUNT, 0};
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    run.error = errno;
    return run;
  }
  sigset_t all;
  sigset_t previous;
  (void)sigfillset(&all);
  // The child must not take a stop signal for its parent's.
  (void)sigprocmask(SIG_BLOCK, &all, &previous);
  run.child = fork();
  run.error = errno;
  if (run.child == 0) {
    (void)close(report[0]);
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);  // no core dump of a trial a filter ends
    step_result taken[STEP_COUNT];
    std::memcpy(taken, results, sizeof taken);
    take_steps(program, report[1], taken);
    _exit(0);
  }
  (void)sigprocmask(SIG_SETMASK, &previous, nullptr);
  (void)close(report[1]);
  for (unsigned char announced = 0;
       read_some(report[0], reinterpret_cast<char*>(&announced), 1) == 1;) {
    run.last = announced;
  }
  (void)close(report[0]);
  while (run.child > 0 && waitpid(run.child, &run.status, 0) < 0 && errno == EINTR) {
  }
  return run;
}

// A step that ends a trial (an outer filter that kills, rather than refuses, a call it does not
// list) is left out, and the rest tried again, so that nothing here can end the program. Nothing
// to try where no filter is in force: without one, a call can only fail.
void leave_out_what_ends_a_trial(filter& program, step_result* results) {
  if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) == 0) {
    return;
  }
  for (int trials = 0; trials < STEP_COUNT; ++trials) {
    const trial run = run_trial(program, results);
    if (run.child > 0 && !WIFSIGNALED(run.status)) {
      return;  // every step it took left it running
    }
    if (run.child < 0) {
      // No trial can be run (no process or pipe to spare): prctl, just seen to return, still
      // takes no new privileges and the filter; the calls of Landlock and seccomp(2), which a
      // filter may end the process at, are left out.
      for (const step which : {LANDLOCK, FILTER_BY_SECCOMP}) {
        results[which] = {outcome::untried, run.error};
      }
      return;
    }
    for (unsigned char which = 0; which < STEP_COUNT; ++which) {
      // The one it was taking when it ended, or, when it ended before any, every one.
      if (results[which].what == outcome::taken && (which == run.last || run.last == STEP_COUNT)) {
        results[which] = {outcome::ended_trial, WTERMSIG(run.status)};
      }
    }
    if (run.last == STEP_COUNT) {
      return;  // nothing is left to try
    }
  }
}

void append(confinement_gaps* gaps, const char* what, const step_result& result) {
  if (result.what == outcome::taken) {
    return;
  }
  char reason[96];
  if (result.what == outcome::ended_trial) {
    const char* name = sigabbrev_np(result.detail);
    (void)std::snprintf(reason, sizeof reason, "a trial of it ended by SIG%s",
                        name != nullptr ? name : "?");
  } else if (result.what == outcome::untried) {
    (void)std::snprintf(reason, sizeof reason, "could not be tried: %s",
                        std::strerror(result.detail));
  } else {
    (void)std::snprintf(reason, sizeof reason, "%s", std::strerror(result.detail));
  }
  const std::size_t used = std::strlen(gaps->text);
  (void)std::snprintf(gaps->text + used, sizeof gaps->text - used, "%s without %s (%s)",
                      used == 0 ? "confined" : " and", what, reason);
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

confinement_gaps confine(const allowed_call* calls, std::size_t count) {
  confinement_gaps gaps{};
  if (under_valgrind()) {
    return gaps;
  }
  filter program{};
  build_filter(&program, calls, count);
  step_result results[STEP_COUNT] = {};
  leave_out_what_ends_a_trial(program, results);
  take_steps(program, -1, results);
  append(&gaps, "no new privileges", results[NO_NEW_PRIVILEGES]);
  append(&gaps, "Landlock", results[LANDLOCK]);
  const bool filtered = results[FILTER_BY_SECCOMP].what == outcome::taken ||
                        results[FILTER_BY_PRCTL].what == outcome::taken;
  if (!filtered) {
    append(&gaps, "its system call filter", results[FILTER_BY_PRCTL]);
  }
  return gaps;
}

#endif
