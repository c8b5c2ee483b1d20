#include "harness.h"

#include "full_io.h"
#include "private_network.h"
#include "service_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace {

constexpr int MAX_POLLS = 1000000;

std::string temp_path(const char* tag) {
  std::string pattern = std::string("/tmp/portkit-") + tag + "-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd >= 0) {
    close(fd);
  }
  return pattern;
}

std::chrono::steady_clock::time_point deadline_from(milliseconds span) {
  return std::chrono::steady_clock::now() + span;
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool poll_readable(int fd, std::chrono::steady_clock::time_point deadline) {
  pollfd entry{fd, POLLIN, 0};
  for (;;) {
    const int ready = poll(&entry, 1, remaining_ms(deadline));
    if (ready > 0) {
      return true;
    }
    if (ready == 0 || errno != EINTR) {
      return false;
    }
  }
}

std::string read_until(int fd, std::size_t count, milliseconds deadline, bool* clean_end) {
  const auto end = deadline_from(deadline);
  std::string bytes;
  char buffer[65536];
  bool ended = false;
  while (bytes.size() < count && poll_readable(fd, end)) {
    const ssize_t got = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (got <= 0) {
      ended = got == 0;
      break;
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  if (clean_end != nullptr) {
    *clean_end = ended;
  }
  return bytes;
}

// Makes these system calls meet `action` from here on, through a seccomp filter, as a service
// manager's or a container's filter does: a failure or an end the real environment cannot be made
// to produce on demand.
void install_outer_filter(const std::vector<long>& calls, std::uint32_t action) {
  std::vector<sock_filter> filter = {
      {BPF_LD | BPF_W | BPF_ABS, 0, 0, static_cast<std::uint32_t>(offsetof(seccomp_data, nr))}};
  for (const long call : calls) {
    filter.push_back({BPF_JMP | BPF_JEQ | BPF_K, 0, 1, static_cast<std::uint32_t>(call)});
    filter.push_back({BPF_RET | BPF_K, 0, 0, action});
  }
  filter.push_back({BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW});
  const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
}

// Passes `sockets` as a service manager does: descriptors 3, 4, ... in order, with LISTEN_PID
// and LISTEN_FDS set; every other descriptor above standard error is closed.
void hand_over(const std::vector<int>& sockets) {
  constexpr int FIRST_PASSED_FD = 3;
  constexpr int SPARE_FD = 900;  // out of the way of the numbers they move to
  std::vector<int> spares;
  for (const int fd : sockets) {
    spares.push_back(fcntl(fd, F_DUPFD, SPARE_FD));
  }
  const int first_free = FIRST_PASSED_FD + static_cast<int>(sockets.size());
  for (std::size_t i = 0; i < spares.size(); ++i) {
    dup2(spares[i], FIRST_PASSED_FD + static_cast<int>(i));
  }
  for (int fd = first_free; fd < 1024; ++fd) {
    close(fd);
  }
  if (!sockets.empty()) {
    setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
    setenv("LISTEN_FDS", std::to_string(sockets.size()).c_str(), 1);
  }
}

[[noreturn]] void exec_child(const std::string& program, const spawn_options& options, int stdin_fd,
                             int stdout_fd, const std::string& err) {
  signal(SIGPIPE, SIG_DFL);  // as a shell would start it: the program must protect itself
  dup2(stdin_fd, 0);
  dup2(stdout_fd, 1);
  const int err_fd = open(err.c_str(), O_WRONLY | O_TRUNC);
  dup2(err_fd, 2);
  if (options.close_stdin) {
    close(0);
  }
  if (options.stdout_unread_pipe) {
    int pipe_fds[2];
    if (pipe(pipe_fds) == 0) {
      dup2(pipe_fds[1], 1);
      close(pipe_fds[0]);
    }
  }
  if (options.close_stdout) {
    close(1);
  }
  hand_over(options.passed_sockets);
  for (const std::string& variable : options.environment) {
    putenv(const_cast<char*>(variable.c_str()));  // the child execs before the string goes
  }
  if (options.block_stop_signals) {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
  }
  if (options.nofile_limit > 0) {
    // The soft limit, as `ulimit -Sn` sets it: the hard one leaves room to raise it again.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(options.nofile_limit);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (options.fsize_limit > 0) {
    const rlimit limit{static_cast<rlim_t>(options.fsize_limit),
                       static_cast<rlim_t>(options.fsize_limit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (options.failing_syscall >= 0) {
    install_outer_filter(
        {options.failing_syscall},
        SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(options.failing_errno) & SECCOMP_RET_DATA));
  }
  if (!options.killing_syscalls.empty()) {
    install_outer_filter(options.killing_syscalls, SECCOMP_RET_KILL_PROCESS);
  }
  std::vector<std::string> words = options.prefix;
  words.push_back(program);
  words.insert(words.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

std::vector<std::string> proc_net_tcp_rows() {
  std::ifstream table("/proc/net/tcp");
  std::vector<std::string> rows;
  std::string row;
  std::getline(table, row);  // header
  while (std::getline(table, row)) {
    rows.push_back(row);
  }
  return rows;
}

// Fields of /proc/net/tcp: "sl local rem st ..."; ports are hex.
bool row_matches(const std::string& row, bool local, const char* state) {
  std::istringstream fields(row);
  std::string slot, local_address, remote_address, st;
  fields >> slot >> local_address >> remote_address >> st;
  const std::string& address = local ? local_address : remote_address;
  return address.size() > 5 && address.substr(address.size() - 5) == ":3039" && st == state;
}

// The value of a line of /proc/PID/status ("VmRSS", "SigPnd", ...); empty when there is none.
std::string proc_status_value(pid_t pid, const char* name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string key = std::string(name) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) {
      return line.substr(key.size());
    }
  }
  return "";
}

long proc_status_field(pid_t pid, const char* name) {
  const std::string value = proc_status_value(pid, name);
  return value.empty() ? -1 : std::strtol(value.c_str(), nullptr, 10);
}

// The field of /proc/PID/stat after the command name (which ends at the last ')'), counted from
// 3 as proc(5) numbers them.
std::string proc_stat_field(pid_t pid, int index) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string content((std::istreambuf_iterator<char>(stat)),
                            std::istreambuf_iterator<char>());
  const std::size_t name_end = content.rfind(')');
  if (name_end == std::string::npos) {
    return "";
  }
  std::istringstream fields(content.substr(name_end + 2));
  std::string field;
  for (int at = 3; at <= index && fields >> field; ++at) {
  }
  return field;
}

// A signal set of /proc/PID/status ("SigPnd", "ShdPnd", ...), a hexadecimal mask.
unsigned long long proc_signal_mask(pid_t pid, const char* name) {
  return std::strtoull(proc_status_value(pid, name).c_str(), nullptr, 16);
}

tcp_info connection_info(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) {
    ADD_FAILURE() << "TCP_INFO: " << std::strerror(errno);
  }
  return info;
}

}  // namespace

bool wait_until(const std::function<bool()>& condition, milliseconds deadline) {
  const auto end = deadline_from(deadline);
  for (int poll_count = 0; poll_count < MAX_POLLS; ++poll_count) {
    if (condition()) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= end) {
      return false;
    }
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

child_process spawn(const std::string& program, const spawn_options& options) {
  child_process child;
  child.stdout_path = temp_path("out");
  child.stderr_path = temp_path("err");
  int stdin_fds[2] = {-1, -1};  // read end, write end
  if (options.stdin_pipe) {
    if (pipe(stdin_fds) != 0) {
      return child;
    }
  } else if (!options.stdin_path.empty()) {
    stdin_fds[0] = open(options.stdin_path.c_str(), O_RDONLY);
  } else {
    const std::string in_path = temp_path("in");
    std::ofstream(in_path, std::ios::binary) << options.stdin_data;
    stdin_fds[0] = open(in_path.c_str(), O_RDONLY);
    unlink(in_path.c_str());
  }
  int stdout_fds[2] = {-1, -1};
  if (options.stdout_pipe) {
    if (pipe(stdout_fds) != 0) {
      return child;
    }
    fcntl(stdout_fds[1], F_SETFL, O_NONBLOCK);
  } else {
    const std::string& out_path =
        options.stdout_path.empty() ? child.stdout_path : options.stdout_path;
    stdout_fds[1] = open(out_path.c_str(), O_WRONLY | O_TRUNC);
  }
  child.pid = fork();
  if (child.pid == 0) {
    exec_child(program, options, stdin_fds[0], stdout_fds[1], child.stderr_path);
  }
  close(stdin_fds[0]);
  close(stdout_fds[1]);
  child.stdin_fd = stdin_fds[1];
  child.stdout_fd = stdout_fds[0];
  return child;
}

long file_size(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? static_cast<long>(status.st_size) : -1;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

int wait_exit(const child_process& child, milliseconds deadline) {
  int status = -1;
  const bool ended =
      wait_until([&] { return waitpid(child.pid, &status, WNOHANG) == child.pid; }, deadline);
  return ended ? status : -1;
}

int exit_code(const child_process& child, milliseconds deadline) {
  const int status = wait_exit(child, deadline);
  if (status == -1) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool is_running(const child_process& child) {
  siginfo_t info{};
  // WNOWAIT leaves an ended child to be reaped by wait_exit.
  return waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

bool is_stopped(pid_t pid) {
  return proc_stat_field(pid, 3) == "T";
}

bool signal_pending(pid_t pid, int number) {
  const unsigned long long bit = 1ULL << (number - 1);
  return ((proc_signal_mask(pid, "SigPnd") | proc_signal_mask(pid, "ShdPnd")) & bit) != 0;
}

int listening_sockets() {
  int count = 0;
  for (const std::string& row : proc_net_tcp_rows()) {
    count += row_matches(row, true, "0A") ? 1 : 0;
  }
  return count;
}

bool port_listening() {
  return listening_sockets() > 0;
}

int listen_service_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = address_of("0.0.0.0", SERVICE_PORT);  // as the servers bind
  const int on = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    ADD_FAILURE() << "cannot listen on the service port: " << std::strerror(errno);
  }
  return fd;
}

int connections_to_port() {
  int count = 0;
  for (const std::string& row : proc_net_tcp_rows()) {
    count += row_matches(row, false, "01") ? 1 : 0;
  }
  return count;
}

long queued_bytes(side at, queued which) {
  for (const std::string& row : proc_net_tcp_rows()) {
    if (row_matches(row, at == side::server, "01")) {
      std::istringstream fields(row);
      std::string skipped, queues;
      fields >> skipped >> skipped >> skipped >> skipped >> queues;  // "tx_queue:rx_queue", hex
      const std::size_t colon = queues.find(':');
      return std::strtol(queues.c_str() + (which == queued::unsent ? 0 : colon + 1), nullptr, 16);
    }
  }
  return -1;
}

int notification_socket(std::string* address) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un name{};
  name.sun_family = AF_UNIX;
  // Abstract names belong to the network namespace: the test's own.
  const std::string text = "portkit-manager-" + std::to_string(getpid());
  std::memcpy(name.sun_path + 1, text.data(), text.size());
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
  EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&name), size), 0) << std::strerror(errno);
  *address = "@" + text;
  return fd;
}

std::string next_notification(int fd, int* passed, milliseconds deadline) {
  if (passed != nullptr) {
    *passed = -1;
  }
  if (!poll_readable(fd, deadline_from(deadline))) {
    return "";
  }
  char text[4096];
  iovec data{text, sizeof text};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
  const cmsghdr* rights = CMSG_FIRSTHDR(&message);
  if (rights != nullptr && rights->cmsg_type == SCM_RIGHTS) {
    int carried = -1;
    std::memcpy(&carried, CMSG_DATA(rights), sizeof carried);
    if (passed != nullptr) {
      *passed = carried;
    } else {
      close(carried);
    }
  }
  return got > 0 ? std::string(text, static_cast<std::size_t>(got)) : "";
}

stand_in_store open_store(long capacity) {
  stand_in_store store;
  store.socket = notification_socket(&store.address);
  store.capacity = capacity;
  return store;
}

namespace {

bool same_object(int one, int other) {
  struct stat first {};
  struct stat second {};
  return fstat(one, &first) == 0 && fstat(other, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

// The value of `key` ("FDNAME=") in a notification; "" when it has none.
std::string field_of(const std::string& text, const std::string& key) {
  const std::size_t at = text.find(key);
  if (at == std::string::npos || (at > 0 && text[at - 1] != '\n')) {
    return "";
  }
  const std::size_t end = text.find('\n', at);
  return text.substr(at + key.size(), end == std::string::npos ? end : end - at - key.size());
}

void keep_or_drop(stand_in_store* store, const std::string& text, int fd) {
  const std::string name = field_of(text, "FDNAME=");
  for (const stored_fd& entry : store->kept) {
    if (same_object(entry.fd, fd)) {
      close(fd);
      return;
    }
  }
  if (static_cast<long>(store->kept.size()) >= store->capacity) {
    close(fd);
    ++store->dropped;
    return;
  }
  store->kept.push_back({name.empty() ? "stored" : name, fd, field_of(text, "FDPOLL=") != "0"});
}

}  // namespace

bool store_hears(stand_in_store* store, const std::string& text, milliseconds quiet) {
  for (int heard = 0; heard < 10000; ++heard) {
    int fd = -1;
    const std::string said = next_notification(store->socket, &fd, quiet);
    if (said.empty()) {
      return false;
    }
    if (said.starts_with("FDSTORE=1\n") && fd >= 0) {
      keep_or_drop(store, said, fd);
    } else if (said.starts_with("FDSTOREREMOVE=1\n")) {
      const std::string name = field_of(said, "FDNAME=");
      std::erase_if(store->kept, [&](const stored_fd& entry) {
        return entry.name == name && close(entry.fd) == 0;
      });
    } else {
      store->said.push_back(said);
    }
    if (said == text) {
      return true;
    }
  }
  return false;
}

spawn_options passed_by(stand_in_store* store) {
  std::erase_if(store->kept, [](const stored_fd& entry) {
    pollfd ready{entry.fd, 0, 0};
    return entry.watched && poll(&ready, 1, 0) == 1 && (ready.revents & (POLLHUP | POLLERR)) != 0 &&
           close(entry.fd) == 0;
  });
  spawn_options options{.environment = {"NOTIFY_SOCKET=" + store->address,
                                        "FDSTORE=" + std::to_string(store->capacity)}};
  std::string names;
  for (const stored_fd& entry : store->kept) {
    options.passed_sockets.push_back(entry.fd);
    names += (names.empty() ? "" : ":") + entry.name;
  }
  options.environment.push_back("LISTEN_FDNAMES=" + names);
  return options;
}

void discard_store(stand_in_store* store) {
  for (const stored_fd& entry : store->kept) {
    close(entry.fd);
  }
  store->kept.clear();
}

long unacknowledged_bytes(int fd) {
  int unacknowledged = -1;
  return ioctl(fd, SIOCOUTQ, &unacknowledged) == 0 ? unacknowledged : -1;
}

bool blocked_in(pid_t pid, long number) {
  std::ifstream current("/proc/" + std::to_string(pid) + "/syscall");
  long called = -1;
  return (current >> called) && called == number;
}

bool sleeping_in(pid_t pid, long number) {
  return proc_stat_field(pid, 3) == "S" && blocked_in(pid, number);
}

std::vector<int> connect_burst(std::size_t count, milliseconds deadline) {
  std::vector<int> fds;
  for (std::size_t i = 0; i < count; ++i) {
    fds.push_back(start_connect_service_port());
  }
  const auto end = deadline_from(deadline);
  for (int& fd : fds) {
    pollfd entry{fd, POLLOUT, 0};
    const bool established = fd >= 0 && poll(&entry, 1, remaining_ms(end)) == 1 &&
                             connect_succeeded(fd) && set_blocking(fd, true);
    if (!established && fd >= 0) {
      close(fd);
      fd = -1;
    }
  }
  return fds;
}

void send_bytes(int fd, const std::string& bytes) {
  if (!write_all(fd, bytes.data(), bytes.size())) {
    ADD_FAILURE() << "send failed: " << std::strerror(errno);
  }
}

bool flood_until_blocked_in_write(pid_t server, int fd, const std::string& request) {
  const auto blocked_in_write = [&] { return blocked_in(server, SYS_write); };
  const std::string batch = repeated(request, 64);
  for (int round = 0; round < 100000 && !blocked_in_write(); ++round) {
    if (send(fd, batch.data(), batch.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
      wait_until(blocked_in_write, 100ms);
    }
  }
  return wait_until(blocked_in_write);
}

std::string repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) {
    all += text;
  }
  return all;
}

std::string glyph_sequence(long offset, std::size_t count) {
  constexpr long PERIOD = 95;
  std::string characters;
  for (std::size_t i = 0; i < count; ++i) {
    characters += static_cast<char>(' ' + (offset + static_cast<long>(i)) % PERIOD);
  }
  return characters;
}

std::string read_exact(int fd, std::size_t count, milliseconds deadline) {
  return read_until(fd, count, deadline, nullptr);
}

std::string read_to_end(int fd, milliseconds deadline, bool* clean_end) {
  return read_until(fd, static_cast<std::size_t>(-1), deadline, clean_end);
}

bool data_arrives(int fd, milliseconds window) {
  return poll_readable(fd, deadline_from(window));
}

long segments_received(int fd) {
  return connection_info(fd).tcpi_segs_in;
}

long data_segments_received(int fd) {
  return connection_info(fd).tcpi_data_segs_in;
}

bool run_command(const std::vector<std::string>& command) {
  spawn_options options;
  options.arguments.assign(command.begin() + 1, command.end());
  const child_process child = spawn(command.front(), options);
  const int code = exit_code(child);
  if (code != 0) {
    ADD_FAILURE() << command.front() << " exited with " << code << ": "
                  << read_file(child.stderr_path);
  }
  unlink(child.stdout_path.c_str());
  unlink(child.stderr_path.c_str());
  return code == 0;
}

int errno_of_call_in(pid_t pid, const std::string& call) {
  spawn_options options;
  options.arguments = {"-nx", "-batch",
                       "-p",  std::to_string(pid),
                       "-ex", "print (long)" + call,
                       "-ex", "print *((int*(*)(void))__errno_location)()"};
  const child_process gdb = spawn("gdb", options);
  const int code = exit_code(gdb);
  std::istringstream lines(read_file(gdb.stdout_path));
  long result = 0;
  int error = -1;
  int printed = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("$1 = ")) {
      result = std::strtol(line.c_str() + 5, nullptr, 10);
      ++printed;
    } else if (line.starts_with("$2 = ")) {
      error = static_cast<int>(std::strtol(line.c_str() + 5, nullptr, 10));
      ++printed;
    }
  }
  if (code != 0 || printed != 2) {
    ADD_FAILURE() << "gdb (from package gdb) could not make the call: status " << code << "\n"
                  << read_file(gdb.stdout_path) << read_file(gdb.stderr_path);
  }
  unlink(gdb.stdout_path.c_str());
  unlink(gdb.stderr_path.c_str());
  return result < 0 ? error : 0;
}

int open_fd_count(pid_t pid) {
  DIR* directory = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (directory == nullptr) {
    return -1;
  }
  int count = 0;
  while (const dirent* entry = readdir(directory)) {
    count += entry->d_name[0] != '.' ? 1 : 0;
  }
  closedir(directory);
  return count;
}

long resident_kib(pid_t pid) {
  return proc_status_field(pid, "VmRSS");
}

long cpu_ticks(pid_t pid) {
  return std::strtol(proc_stat_field(pid, 14).c_str(), nullptr, 10) +
         std::strtol(proc_stat_field(pid, 15).c_str(), nullptr, 10);
}

void ProgramTest::SetUp() {
  signal(SIGPIPE, SIG_IGN);  // a child that has gone must not end the test with it
  if (!enter_private_network()) {
    GTEST_SKIP() << PRIVATE_NETWORK_HELP;
  }
}

void ProgramTest::TearDown() {
  for (const child_process& child : children_) {
    if (child.pid > 0) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, nullptr, 0);
    }
    for (const int fd : {child.stdin_fd, child.stdout_fd}) {
      if (fd >= 0) {
        close(fd);
      }
    }
    unlink(child.stdout_path.c_str());
    unlink(child.stderr_path.c_str());
  }
}

child_process ProgramTest::start(const std::string& program, const spawn_options& options) {
  child_process child = spawn(program, options);
  children_.push_back(child);
  return child;
}

child_process ProgramTest::start_server(const std::string& program, const spawn_options& options) {
  child_process child = start(program, options);
  EXPECT_TRUE(wait_until(port_listening)) << program << " never listened";
  return child;
}
