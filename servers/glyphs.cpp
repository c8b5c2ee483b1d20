// glyphs: answers every chunk with the next 1000 characters of a rotating printable sequence.
#include "glyphs.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "command_line.h"
#include "full_io.h"
#include "listener.h"

namespace {

constexpr signed char FIRST_PRINTABLE = 32;
constexpr signed char PAST_PRINTABLE = 127;

// The one counter of the process; it runs on across chunks and connections.
signed char c = FIRST_PRINTABLE;

// Holding the burst back until it is complete lets it leave as full segments at once.
void set_cork(int connection, int on) {
  // Failure only changes how the burst is cut into segments, not its bytes.
  (void)setsockopt(connection, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

// The listener corks the connection while more prompts wait; the burst then joins what it holds
// and leaves with it, rather than releasing it early.
bool is_corked(int connection) {
  int on = 0;
  socklen_t size = sizeof on;
  return getsockopt(connection, IPPROTO_TCP, TCP_CORK, &on, &size) == 0 && on != 0;
}

}  // namespace

std::array<char, 2> character_generator() {
  if (c == PAST_PRINTABLE) {
    c = FIRST_PRINTABLE;
  }
  const char character = static_cast<char>(c);
  c = static_cast<signed char>(c + 1);
  return {character, '\0'};
}

void server_func(int connection, const char* /*chunk*/, std::int32_t /*length*/) {
  const bool held_by_listener = is_corked(connection);
  if (!held_by_listener) {
    set_cork(connection, 1);
  }
  bool peer_reading = true;
  for (int i = 0; i < BURST_SIZE; ++i) {
    const std::array<char, 2> text = character_generator();
    // The sequence advances for every character, delivered or not, so that it stays the same for
    // the next peer; writes stop once this peer has gone.
    peer_reading = peer_reading && write_all(connection, text.data(), 1);
  }
  if (!held_by_listener) {
    set_cork(connection, 0);
  }
}

#ifndef SERVER_NO_MAIN
int main(int argc, char** argv) {
  take_no_arguments(
      argc, argv,
      "Answers each request on TCP port 12345 with the next 1000 characters of an endless\n"
      "printable sequence.");
  run_listener(server_func);
}
#endif
