// Once set up, a server can make only the calls its loop needs and can open no file: in force in
// every server, however it was started, whatever filter its caller applies, and refusing what a
// taken-over process would try first, in the server itself.
#include <fcntl.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

#include "confinement.h"
#include "harness.h"
#include "server_calls.h"
#include "service_port.h"

namespace {

struct server_case {
  const char* name;
  const char* program;
};

const server_case SERVERS[] = {{"tally", TALLY_BIN},
                               {"glyphs", GLYPHS_BIN},
                               {"mirror", MIRROR_BIN},
                               {"sink", SINK_BIN},
                               {"drain", DRAIN_BIN}};

void PrintTo(const server_case& entry, std::ostream* out) {
  *out << entry.name;
}

// The value of one line of /proc/PID/status, such as "Seccomp"; "" when there is none.
std::string status_field(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(name + ":")) {
      const std::size_t value = line.find_first_not_of(" \t", name.size() + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
  }
  return "";
}

// Filters in force in `pid` beyond the test's own: a process inherits every filter of its
// parent's, so only a count above those is the program's.
long filters_added(pid_t pid) {
  return std::stol(status_field(pid, "Seccomp_filters")) -
         std::stol(status_field(getpid(), "Seccomp_filters"));
}

// How a server is started, and what its confinement then takes: the filters it runs under, the
// outer one a caller applied included, and the line it says about a step left out.
struct start_case {
  const char* way;
  bool passed;                // on a socket passed to it, rather than one of its own
  std::vector<long> killing;  // calls an outer filter ends the process at
  long refused = -1;          // a call an outer filter refuses, with `refused_errno`
  long filters;               // filters in force beyond the test's own
  std::string said;           // on standard error, after "program: "
  int refused_errno = EPERM;
};

const start_case STARTS[] = {
    {"by hand", false, {}, -1, 1, ""},
    {"on a passed socket", true, {}, -1, 1, ""},
    // systemd 252's @system-service, with its default action: Landlock's and seccomp's calls are
    // in no group of it.
    {"under a filter that kills Landlock's and seccomp's calls",
     false,
     {SYS_landlock_create_ruleset, SYS_landlock_restrict_self, SYS_seccomp},
     -1,
     2,
     "confined without Landlock (a trial of it ended by SIGSYS)\n"},
    {"under a filter that refuses Landlock's calls",
     false,
     {},
     SYS_landlock_create_ruleset,
     2,
     "confined without Landlock (Operation not permitted)\n"},
    // No process to spare (LimitNPROC=1): no trial can be made, and what prctl does, seen to
    // return, is taken all the same.
    {"where no trial can be made",
     false,
     {},
     SYS_clone,
     2,
     "confined without Landlock (could not be tried: Resource temporarily unavailable)\n",
     EAGAIN},
};

class Confined : public ProgramTest, public ::testing::WithParamInterface<server_case> {};

// Checked once the server has served a chunk: past its set-up, whatever the order of its steps.
TEST_P(Confined, HoweverStartedAndWhateverFilterItRunsUnder) {
  const std::string name = GetParam().name;
  for (const start_case& start : STARTS) {
    SCOPED_TRACE(start.way);
    const int held = start.passed ? listen_service_port() : -1;
    spawn_options options{.failing_syscall = start.refused,
                          .failing_errno = start.refused_errno,
                          .killing_syscalls = start.killing};
    if (start.passed) {
      options.passed_sockets = {held};
    }
    const child_process server = start_server(GetParam().program, options);
    const int fd = connect_service_port();
    ASSERT_GE(fd, 0);
    send_bytes(fd, "1+1");
    if (name == "sink" || name == "drain") {
      EXPECT_TRUE(wait_until([&] { return read_file(server.stdout_path) == "1+1"; }));
    } else {
      EXPECT_FALSE(read_exact(fd, 1).empty()) << "no answer";
    }
    EXPECT_EQ(status_field(server.pid, "NoNewPrivs"), "1");
    EXPECT_EQ(filters_added(server.pid), start.filters) << "its own filter on the outer one";
    EXPECT_EQ(read_file(server.stderr_path), start.said.empty() ? "" : name + ": " + start.said);
    close(fd);
    kill(server.pid, SIGTERM);
    EXPECT_EQ(exit_code(server), 128 + SIGTERM) << "stopped as the pages say";
    close(held);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryServer, Confined, ::testing::ValuesIn(SERVERS), CASE_NAME);

// client, once connected: seen while it waits for an answer sink never sends.
TEST_F(ProgramTest, ClientIsConfinedOnceConnected) {
  const child_process server = start_server(SINK_BIN);
  const child_process client = start(CLIENT_BIN, {.stdin_pipe = true});
  send_bytes(client.stdin_fd, "hola\n");
  ASSERT_TRUE(wait_until([&] { return read_file(server.stdout_path) == "hola\n"; }));
  EXPECT_EQ(status_field(client.pid, "NoNewPrivs"), "1");
  EXPECT_EQ(filters_added(client.pid), 1);
}

// client ended early (its server gone) leaves the input it did not send to the next reader of the
// same file, as exit does for a program that reads with stdio.
TEST_F(ProgramTest, ClientLeavesUnreadInputToTheNextReader) {
  const int listener = listen_service_port();
  std::string lines;
  for (int i = 1; i <= 200; ++i) {
    lines += std::to_string(i) + "\n";
  }
  const child_process client =
      start(CLIENT_BIN, {.stdin_data = lines, .prefix = {"sh", "-c", "\"$0\"; cat"}});
  const int fd = accept(listener, nullptr, nullptr);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(read_exact(fd, 2), "1\n");
  close(fd);  // the server gone: client's read meets the end
  EXPECT_EQ(exit_code(client), 0) << "cat's status";
  EXPECT_EQ(read_file(client.stdout_path), lines.substr(2)) << "what cat read after client";
  close(listener);
}

// What a process taken over through a fault would try, made by the running server itself (through
// gdb) once it has served: each call's errno (0: it worked).
struct attempt_case {
  const char* name;
  std::function<std::string(pid_t server, pid_t other)> call;
  int expected;
  bool store = false;  // under a stand-in manager that keeps descriptors
};

std::string syscall_of(long number, const std::string& arguments) {
  return "syscall(" + std::to_string(number) + ", " + arguments + ")";
}

const attempt_case ATTEMPTS[] = {
    {"open_a_file", [](pid_t, pid_t) { return syscall_of(SYS_openat, "-100, $sp, 0"); }, EPERM},
    {"execute_a_program", [](pid_t, pid_t) { return syscall_of(SYS_execve, "$sp, 0, 0"); }, EPERM},
    {"make_a_socket", [](pid_t, pid_t) { return syscall_of(SYS_socket, "2, 1, 0"); }, EPERM},
    {"connect_its_socket", [](pid_t, pid_t) { return syscall_of(SYS_connect, "3, $sp, 16"); },
     EPERM},
    {"signal_another_process",
     [](pid_t, pid_t other) {
       return syscall_of(SYS_tgkill, std::to_string(other) + ", " + std::to_string(other) + ", 0");
     },
     EPERM},
    {"signal_itself",
     [](pid_t server, pid_t) {
       return syscall_of(SYS_tgkill,
                         std::to_string(server) + ", " + std::to_string(server) + ", 0");
     },
     0},
    {"send_with_an_address",
     [](pid_t, pid_t) { return syscall_of(SYS_sendto, "1, $sp, 1, 0, $sp, 16"); }, EPERM},
    {"sendmsg_without_a_store", [](pid_t, pid_t) { return syscall_of(SYS_sendmsg, "1, $sp, 0"); },
     EPERM},
    // Standard output is a file: past the filter, the call fails for that.
    {"sendmsg_with_a_store", [](pid_t, pid_t) { return syscall_of(SYS_sendmsg, "1, $sp, 0"); },
     ENOTSOCK, true},
    {"writev_to_standard_error", [](pid_t, pid_t) { return syscall_of(SYS_writev, "2, 0, 0"); }, 0},
    {"writev_elsewhere", [](pid_t, pid_t) { return syscall_of(SYS_writev, "1, 0, 0"); }, EPERM},
};

void PrintTo(const attempt_case& entry, std::ostream* out) {
  *out << entry.name;
}

class Attempt : public ProgramTest, public ::testing::WithParamInterface<attempt_case> {};

TEST_P(Attempt, InTheServerMeetsItsFilter) {
  spawn_options options;
  std::string address;
  const int manager = GetParam().store ? notification_socket(&address) : -1;
  if (manager >= 0) {
    options.environment = {"NOTIFY_SOCKET=" + address, "FDSTORE=2"};
  }
  const child_process server = start_server(MIRROR_BIN, options);
  const child_process other = start("sleep", {.arguments = {"60"}});
  const int fd = connect_service_port();
  ASSERT_GE(fd, 0);
  send_bytes(fd, "hola");
  ASSERT_EQ(read_exact(fd, 4), "hola");
  EXPECT_EQ(errno_of_call_in(server.pid, GetParam().call(server.pid, other.pid)),
            GetParam().expected);
  EXPECT_TRUE(is_running(other));
  send_bytes(fd, "otra");
  EXPECT_EQ(read_exact(fd, 4), "otra") << "serving on";
  close(fd);
  close(manager);
}

INSTANTIATE_TEST_SUITE_P(Calls, Attempt, ::testing::ValuesIn(ATTEMPTS), CASE_NAME);

// A fault glibc's checks catch is told on standard error (with writev) before the server aborts.
TEST_F(ProgramTest, ServersFatalLineReachesStandardError) {
  const child_process server = start_server(TALLY_BIN);
  spawn_options options{.arguments = {"-nx", "-batch", "-p", std::to_string(server.pid), "-ex",
                                      "call (void)__stack_chk_fail()"}};
  const child_process gdb = start("gdb", options);
  EXPECT_EQ(exit_code(server), 128 + SIGABRT);
  EXPECT_EQ(read_file(server.stderr_path), "*** stack smashing detected ***: terminated\n");
  exit_code(gdb);
}

// What only Landlock refuses, in a child confined with the servers' list and the call let through.
struct landlock_case {
  const char* name;
  std::vector<long> let_through;
  std::function<int(pid_t other, const std::string& abstract)> attempt;
  int abi;  // the Landlock version that refuses it; below, the call succeeds
};

int errno_of(long result) {
  return result < 0 ? errno : 0;
}

// A datagram to an abstract socket the test binds ("@name").
int send_to_test(pid_t, const std::string& abstract) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un name{};
  name.sun_family = AF_UNIX;
  const std::string text = abstract.substr(1);
  std::memcpy(name.sun_path + 1, text.data(), text.size());
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
  return errno_of(sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&name), size));
}

const landlock_case LANDLOCK_ATTEMPTS[] = {
    {"open_a_file",
     {SYS_openat},
     [](pid_t, const std::string&) { return errno_of(open("/etc/passwd", O_RDONLY)); },
     1},
    {"signal_another_process",
     {SYS_kill},
     [](pid_t other, const std::string&) { return errno_of(kill(other, 0)); },
     6},
    {"send_to_an_abstract_socket", {SYS_socket, SYS_sendto}, send_to_test, 6},
};

void PrintTo(const landlock_case& entry, std::ostream* out) {
  *out << entry.name;
}

class PastTheFilter : public ProgramTest, public ::testing::WithParamInterface<landlock_case> {};

TEST_P(PastTheFilter, LandlockRefuses) {
  const landlock_case& attempt = GetParam();
  const child_process other = start("sleep", {.arguments = {"60"}});
  std::string address;
  const int bound = notification_socket(&address);
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  // First, ahead of the list's own rule for the same call, which checks its arguments.
  std::vector<allowed_call> calls;
  for (const long call : attempt.let_through) {
    calls.push_back({call});
  }
  calls.insert(calls.end(), SERVER_CALLS, SERVER_CALLS + SERVER_CALL_COUNT);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    confine(calls.data(), calls.size());
    const std::string said = "errno " + std::to_string(attempt.attempt(other.pid, address));
    _exit(write(report[1], said.data(), said.size()) < 0 ? 2 : 0);
  }
  close(report[1]);
  const std::string said = read_to_end(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0,
                           static_cast<unsigned long>(LANDLOCK_CREATE_RULESET_VERSION));
  const int expected = abi >= attempt.abi ? (attempt.abi == 1 ? EACCES : EPERM) : 0;
  EXPECT_EQ(said, "errno " + std::to_string(expected)) << "expected " << std::strerror(expected);
  close(report[0]);
  close(bound);
}

INSTANTIATE_TEST_SUITE_P(Attempts, PastTheFilter, ::testing::ValuesIn(LANDLOCK_ATTEMPTS),
                         CASE_NAME);

}  // namespace
