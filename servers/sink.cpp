// sink and drain: copy every chunk to standard output, unbuffered, and send nothing back.
#include <cstddef>
#include <cstdint>

#include "command_line.h"
#include "listener.h"
#include "service_manager.h"
#include "standard_descriptors.h"

void server_func(int connection, const char* chunk, std::int32_t length) {
  // Copying is the whole job: a copy that fails ends the server, so that the loss is reported, the
  // client is reset and the next client is refused, rather than acknowledged and its bytes dropped;
  // a service manager is told why, as for a failed set-up.
  print_or_exit(chunk, static_cast<std::size_t>(length), connection, fail_serving);
}

int main(int argc, char** argv) {
  take_no_arguments(
      argc, argv,
      "Copies everything clients send to TCP port 12345 to standard output; answers nothing.");
  run_listener(server_func, OUTPUT_NEEDED);
}
