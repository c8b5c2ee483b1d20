#include "processes.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "private_network.h"

void pin_to_cpu(std::size_t cpu) {
  if (sysconf(_SC_NPROCESSORS_ONLN) < 2) {
    return;
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  (void)sched_setaffinity(0, sizeof set, &set);
}

pid_t start(const command_line& command) {
  const pid_t pid = fork();
  if (pid == 0) {
    pin_to_cpu(1);
    signal(SIGPIPE, SIG_DFL);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const std::string& word : command) {
      // cppcheck-suppress useStlAlgorithm
      argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

bool succeeds(const command_line& command) {
  const pid_t pid = start(command);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

void stop(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

int connect_when_ready() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = connect_service_port();
    if (fd >= 0) {
      return fd;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return -1;
}

double with_program(const command_line& command, const std::function<double(pid_t, int)>& body) {
  if (!enter_private_network()) {
    return 0.0;
  }
  const pid_t pid = start(command);
  const int fd = connect_when_ready();
  const double value = fd >= 0 ? body(pid, fd) : 0.0;
  close(fd);
  stop(pid);
  return value;
}

command_line server_command(const std::string& bin_dir, const char* server) {
  return {bin_dir + "/" + server};
}

command_line baseline_command(const std::string& bin_dir, const char* server, const char* variant) {
  return {bin_dir + "/baseline_server", server, variant};
}
