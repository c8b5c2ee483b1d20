// sink and drain: copy every chunk to standard output, unbuffered, and send nothing back.
#include <unistd.h>
#include <cstddef>
#include <cstdint>

#include "full_io.h"
#include "listener.h"

void server_func(int /*connection*/, const char* chunk, std::int32_t length) {
  // A closed or broken standard output loses the copy but never ends the server.
  (void)write_all(STDOUT_FILENO, chunk, static_cast<std::size_t>(length));
}

int main() {
  run_listener(server_func);
}
