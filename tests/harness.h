// Helpers for driving the real programs as processes over real sockets, each test in a private
// network namespace so that port 12345 is its own.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "private_network.h"

using namespace std::chrono_literals;
using milliseconds = std::chrono::milliseconds;

// Long enough that a loaded machine never reaches it: a deadline only catches a hang.
inline constexpr milliseconds DEFAULT_DEADLINE = 60s;

// Names each instance of a table-driven test after its row's `name`.
inline constexpr auto CASE_NAME = [](const auto& test) { return std::string(test.param.name); };

// Polls `condition` every millisecond until it holds or `deadline` passes.
bool wait_until(const std::function<bool()>& condition, milliseconds deadline = DEFAULT_DEADLINE);

struct spawn_options {
  std::string stdin_data;    // written to a file that becomes standard input
  bool stdin_pipe = false;   // or: a pipe the test writes to (child_process::stdin_fd)
  std::string stdin_path;    // or: this file ("/" makes every read fail)
  bool close_stdin = false;  // or: none at all
  std::string stdout_path;   // standard output goes here instead (/dev/full)
  bool stdout_pipe = false;  // or: a non-blocking pipe the test reads (child_process::stdout_fd)
  bool stdout_unread_pipe = false;  // or: a pipe whose reader has gone
  bool close_stdout = false;        // or: none at all
  long nofile_limit = 0;            // nonzero: RLIMIT_NOFILE for the child
  long fsize_limit = 0;             // nonzero: RLIMIT_FSIZE, the largest file it may write
  bool block_stop_signals = false;  // SIGTERM and SIGINT blocked, as some launchers start programs
  long failing_syscall = -1;        // a system call that fails in the child with failing_errno
  int failing_errno = 0;
  std::vector<long> killing_syscalls;    // system calls that end the child, as a filter can
  std::vector<int> passed_sockets;       // handed over as a service manager does (LISTEN_FDS)
  std::vector<std::string> prefix;       // a command to run the program under (valgrind ...)
  std::vector<std::string> arguments;    // given to the program after its name
  std::vector<std::string> environment;  // NAME=value, set for the program
};

struct child_process {
  pid_t pid = -1;
  int stdin_fd = -1;
  int stdout_fd = -1;
  std::string stdout_path;
  std::string stderr_path;
};

child_process spawn(const std::string& program, const spawn_options& options = {});

std::string read_file(const std::string& path);
long file_size(const std::string& path);

// Waits for the child to end; returns its wait status, or -1 when the deadline passed.
int wait_exit(const child_process& child, milliseconds deadline = DEFAULT_DEADLINE);

// Waits for the child to end; returns its exit status, 128 + the signal that killed it, or -1
// when the deadline passed.
int exit_code(const child_process& child, milliseconds deadline = DEFAULT_DEADLINE);

bool is_running(const child_process& child);

// Stopped (SIGSTOP) for sure, not only sent the signal: state T in /proc/PID/stat.
bool is_stopped(pid_t pid);

// Whether `number` is sent to the process and not yet taken by it.
bool signal_pending(pid_t pid, int number);

// True when a socket of this namespace listens on the service port; how many do.
bool port_listening();
int listening_sockets();

// A listening socket on the service port, held by the test as a service manager holds one.
int listen_service_port();

// Number of established TCP connections whose remote end is the service port.
int connections_to_port();

// Bytes queued in the one established connection on the service port, at the server's end or the
// client's: waiting to be sent or acknowledged, or received and unread. -1 when there is none.
enum class side { server, client };
enum class queued { unsent, unread };
long queued_bytes(side at, queued which);

// A socket standing in for a service manager's notification socket, and the NOTIFY_SOCKET
// value that names it.
int notification_socket(std::string* address);

// The next notification a program sent there, and the descriptor it carried (-1 for none); ""
// when none came by the deadline.
std::string next_notification(int fd, int* passed = nullptr,
                              milliseconds deadline = DEFAULT_DEADLINE);

// A stand-in for a service manager that keeps a service's descriptors as systemd does: each given
// (FDSTORE=1) kept under its FDNAME, the same socket once under its first name, dropped by name
// (FDSTOREREMOVE=1), those beyond `capacity` closed; what it keeps passed to the next instance in
// the order given, with LISTEN_FDNAMES, less those watched that report a hang-up.
struct stored_fd {
  std::string name;
  int fd;
  bool watched;
};
struct stand_in_store {
  int socket = -1;
  std::string address;
  long capacity = 0;
  std::vector<stored_fd> kept;
  std::vector<std::string> said;  // notifications without a descriptor, in order
  int dropped = 0;                // descriptors closed for want of room
};
stand_in_store open_store(long capacity);

// Takes notifications until `text` is said (true), or until none arrives for `quiet`.
bool store_hears(stand_in_store* store, const std::string& text,
                 milliseconds quiet = DEFAULT_DEADLINE);

// Options for the next instance: its manager's environment, and what the store keeps passed.
spawn_options passed_by(stand_in_store* store);

// A stop without a restart: the store closes everything.
void discard_store(stand_in_store* store);

// Bytes this socket has sent, or still has to send, that its peer has not acknowledged.
long unacknowledged_bytes(int fd);

// True when the process is blocked in the system call `number` (/proc/PID/syscall).
bool blocked_in(pid_t pid, long number);

// The same, and asleep there (state S): waiting, not passing through it.
bool sleeping_in(pid_t pid, long number);

// `count` connections started at once, each waited for until the handshake completes at the
// client's end; -1 in place of any that fails or is not complete by the deadline.
std::vector<int> connect_burst(std::size_t count, milliseconds deadline = DEFAULT_DEADLINE);

void send_bytes(int fd, const std::string& bytes);

// Sends `request` again and again, reading nothing, until the server is blocked writing its
// answers to this peer; false if it never is.
bool flood_until_blocked_in_write(pid_t server, int fd, const std::string& request);

// `text` written `times` times in a row.
std::string repeated(const std::string& text, int times);

// `count` characters of the glyphs sequence (blank to tilde, repeated), starting `offset`
// characters after its first blank.
std::string glyph_sequence(long offset, std::size_t count);

// Reads exactly `count` bytes from a socket or pipe (fewer if the peer closes or the deadline
// passes).
std::string read_exact(int fd, std::size_t count, milliseconds deadline = DEFAULT_DEADLINE);

// Reads until the peer closes or the deadline passes. `clean_end`, when given, tells whether the
// reading ended at the end of the stream, rather than a reset, another failure or the deadline.
std::string read_to_end(int fd, milliseconds deadline = DEFAULT_DEADLINE,
                        bool* clean_end = nullptr);

// True when some byte can be read within `window`; used to show that nothing arrives.
bool data_arrives(int fd, milliseconds window);

// TCP segments this connection has received so far, all of them or only those carrying data.
long segments_received(int fd);
long data_segments_received(int fd);

// Runs a command (such as `ip rule ...`) in the test's namespace; true when it exits with 0.
bool run_command(const std::vector<std::string>& command);

// Has the running process `pid` make `call` (gdb's syntax: "syscall(39)") where it stands, as a
// fault in it could, through gdb; the errno it met, 0 when it succeeded.
int errno_of_call_in(pid_t pid, const std::string& call);

int open_fd_count(pid_t pid);
long resident_kib(pid_t pid);
long cpu_ticks(pid_t pid);

// Base fixture for tests that run programs: a private namespace, and every child killed after.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  child_process start(const std::string& program, const spawn_options& options = {});
  child_process start_server(const std::string& program, const spawn_options& options = {});

 private:
  std::vector<child_process> children_;
};
