// mirror: sends every chunk back unchanged.
#include <cstddef>
#include <cstdint>

#include "command_line.h"
#include "full_io.h"
#include "listener.h"

void server_func(int connection, const char* chunk, std::int32_t length) {
  // A peer that has gone is not an error of the server: the next chunk or connection follows.
  (void)write_all(connection, chunk, static_cast<std::size_t>(length));
}

int main(int argc, char** argv) {
  take_no_arguments(argc, argv, "Sends every request received on TCP port 12345 back unchanged.");
  run_listener(server_func);
}
