// client: sends each line of standard input to the server on 127.0.0.1 and prints at most
// 8 bytes of answer after it.
#include <arpa/inet.h>
#include <err.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>

#include "command_line.h"
#include "confinement.h"
#include "full_io.h"
#include "service_port.h"
#include "standard_descriptors.h"

namespace {

constexpr std::size_t BUFFER_SIZE = 256;
constexpr std::size_t ANSWER_READ_SIZE = 8;

// Every call client makes once connected: its input, its output, the connection, the exit.
const allowed_call CLIENT_CALLS[] = {
    {SYS_read},
    {SYS_write},
#ifdef SYS_poll
    {SYS_poll},
#endif
    {SYS_ppoll},
    {SYS_rt_sigreturn},
    {SYS_restart_syscall},
    // exit leaves standard input at its first unread byte, for whoever reads it next.
    {SYS_lseek, 0, {STDIN_FILENO, STDIN_FILENO}},
    // glibc's fatal lines, and the abort that follows them, to this process alone.
    {SYS_writev, 0, {STDERR_FILENO, STDERR_FILENO}},
    {SYS_rt_sigprocmask},
    {SYS_getpid},
    {SYS_gettid},
    {SYS_tgkill, 0, {OWN_PROCESS, OWN_PROCESS}},
    {SYS_exit},
    {SYS_exit_group},
};

bool connect_to_server(int connection) {
  sockaddr_in address{};
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  address.sin_family = AF_INET;
  address.sin_port = htons(SERVICE_PORT);
  std::memset(address.sin_zero, 0, sizeof address.sin_zero);
  return connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Sends one line and prints what one read brings back, up to its first NUL. Returns false when
// the server has gone.
bool exchange_line(int connection, const char* line, char* answer) {
  const std::size_t length = std::strlen(line);
  if (length == 0) {
    return true;  // nothing to send, so no answer to wait for
  }
  if (!write_all(connection, line, length)) {
    return false;
  }
  const ssize_t count = read_some(connection, answer, ANSWER_READ_SIZE);
  if (count <= 0) {
    return false;
  }
  // Written out the moment it is read, so that nothing printed waits in a buffer for an
  // interrupt or a crash to lose it.
  print_or_exit(answer, strnlen(answer, static_cast<std::size_t>(count)));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  take_no_arguments(
      argc, argv,
      "Sends each line of standard input to 127.0.0.1 port 12345 and prints at most 8\n"
      "bytes of answer after it.");
  char line[BUFFER_SIZE];
  char answer[BUFFER_SIZE];
  ignore_output_signals();
  claim_standard_descriptors(OUTPUT_NEEDED);

  const int connection = socket(AF_INET, SOCK_STREAM, 0);
  if (connection < 0) {
    std::printf("Socket no se pudo crear");
    return 1;
  }
  if (!connect_to_server(connection)) {
    std::puts("\n Error : Connect Failed ");
    return 1;
  }
  // Input read into a buffer of its own, so that stdio asks for no memory once confined.
  static char input_buffer[BUFSIZ];
  (void)std::setvbuf(stdin, input_buffer, _IOFBF, sizeof input_buffer);
  const confinement_gaps gaps = confine(CLIENT_CALLS, sizeof CLIENT_CALLS / sizeof CLIENT_CALLS[0]);
  if (gaps.text[0] != '\0') {
    warnx("%s", gaps.text);
  }
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    if (!exchange_line(connection, line, answer)) {
      return 1;
    }
  }
  if (std::ferror(stdin) != 0) {
    err(1, "standard input");  // not its end: lines may have been lost
  }
  return 0;
}
