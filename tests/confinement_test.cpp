// Once set up, a server can make only the calls its loop needs and can open no file: in force in
// every server, however its socket came, and refusing what a taken-over process would try first.
#include <fcntl.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

#include "confinement.h"
#include "harness.h"
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

class Confined : public ProgramTest, public ::testing::WithParamInterface<server_case> {};

// Checked once the server has served a chunk: past its set-up, whatever the order of its steps.
TEST_P(Confined, ByHandAndOnAPassedSocket) {
  for (const bool passed : {false, true}) {
    SCOPED_TRACE(passed ? "on a passed socket" : "by hand");
    const int held = passed ? listen_service_port() : -1;
    spawn_options options;
    if (passed) {
      options.passed_sockets = {held};
    }
    const child_process server = start_server(GetParam().program, options);
    const int fd = connect_service_port();
    ASSERT_GE(fd, 0);
    send_bytes(fd, "1+1");
    const std::string program = GetParam().program;
    if (program == SINK_BIN || program == DRAIN_BIN) {
      EXPECT_TRUE(wait_until([&] { return read_file(server.stdout_path) == "1+1"; }));
    } else {
      EXPECT_FALSE(read_exact(fd, 1).empty()) << "no answer";
    }
    EXPECT_EQ(status_field(server.pid, "NoNewPrivs"), "1");
    EXPECT_EQ(status_field(server.pid, "Seccomp"), "2") << "2: a filter in force";
    close(fd);
    kill(server.pid, SIGKILL);
    EXPECT_EQ(exit_code(server), 128 + SIGKILL);
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
  EXPECT_EQ(status_field(client.pid, "Seccomp"), "2");
}

// What a process taken over through a fault would try first, in a child confined as a server
// confines itself: each attempt's errno (0: it worked).
struct attempt_case {
  const char* name;
  std::function<int(int connected)> attempt;
  int expected;
  bool with_open = false;  // openat let through, so that Landlock alone answers
};

int errno_of(long result) {
  return result < 0 ? errno : 0;
}

const attempt_case ATTEMPTS[] = {
    {"open_a_file", [](int) { return errno_of(open("/etc/passwd", O_RDONLY)); }, EPERM},
    {"execute_a_program",
     [](int) { return errno_of(execl("/bin/true", "true", static_cast<char*>(nullptr))); }, EPERM},
    {"make_a_socket", [](int) { return errno_of(socket(AF_INET, SOCK_STREAM, 0)); }, EPERM},
    {"connect_a_socket",
     [](int connected) {
       const sockaddr_in address = address_of("127.0.0.1", SERVICE_PORT);
       return errno_of(
           connect(connected, reinterpret_cast<const sockaddr*>(&address), sizeof address));
     },
     EPERM},
    {"open_past_the_filter", [](int) { return errno_of(open("/etc/passwd", O_RDONLY)); }, EACCES,
     true},
};

void PrintTo(const attempt_case& entry, std::ostream* out) {
  *out << entry.name;
}

class ConfinedChild : public ProgramTest, public ::testing::WithParamInterface<attempt_case> {};

TEST_P(ConfinedChild, IsRefusedWhatItDoesNotNeed) {
  const attempt_case& attempt = GetParam();
  const int held = listen_service_port();  // something to connect to, were it allowed
  const int connected = socket(AF_INET, SOCK_STREAM, 0);
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  std::vector<allowed_call> calls(SERVER_CALLS, SERVER_CALLS + SERVER_CALL_COUNT);
  if (attempt.with_open) {
    calls.push_back({SYS_openat});
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    confine(calls.data(), calls.size());
    const int error = attempt.attempt(connected);
    const std::string said = "errno " + std::to_string(error);
    _exit(write(report[1], said.data(), said.size()) < 0 ? 2 : 0);
  }
  close(report[1]);
  const std::string said = read_to_end(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  // Where the kernel has no Landlock, nothing but the filter closes files: the open succeeds.
  const bool landlock = syscall(SYS_landlock_create_ruleset, nullptr, 0,
                                static_cast<unsigned long>(LANDLOCK_CREATE_RULESET_VERSION)) >= 1;
  const int expected = attempt.with_open && !landlock ? 0 : attempt.expected;
  EXPECT_EQ(said, "errno " + std::to_string(expected)) << "expected " << std::strerror(expected);
  close(report[0]);
  close(connected);
  close(held);
}

INSTANTIATE_TEST_SUITE_P(Attempts, ConfinedChild, ::testing::ValuesIn(ATTEMPTS), CASE_NAME);

}  // namespace
