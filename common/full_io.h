// Descriptor I/O that survives interrupted calls, completes short writes and waits out full
// non-blocking descriptors.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>

// Writes all `length` bytes, resuming after short writes and EINTR and waiting (poll) while a
// non-blocking descriptor is full. Returns false, with errno set, on any other error (the peer
// has gone, the disk is full, ...); the caller decides what that means.
bool write_all(int fd, const char* data, std::size_t length);

// One read of at most `capacity` bytes, retried on EINTR. Returns what read returns. Inline, so
// that the compiler checks `capacity` against the caller's buffer (_FORTIFY_SOURCE).
inline ssize_t read_some(int fd, char* buffer, std::size_t capacity) {
  ssize_t count = 0;
  do {
    count = read(fd, buffer, capacity);
  } while (count < 0 && errno == EINTR);
  return count;
}

// One recv of at most `capacity` bytes, retried on EINTR. Returns what recv returns. Inline for
// the same reason.
inline ssize_t recv_some(int fd, char* buffer, std::size_t capacity, int flags = 0) {
  ssize_t count = 0;
  do {
    count = recv(fd, buffer, capacity, flags);
  } while (count < 0 && errno == EINTR);
  return count;
}

// Waits at most `timeout_ms` (-1: without end) until `fd` is ready for `events` (POLLIN, POLLOUT),
// resuming after EINTR; false when the time passed or poll failed.
bool wait_ready(int fd, short events, int timeout_ms);

// Milliseconds on the monotonic clock, for the deadlines of waits.
long monotonic_ms();

// Makes writes to a vanished peer fail with EPIPE, and writes past the file size limit with
// EFBIG, instead of ending the process: a failed write is then told like any other.
void ignore_output_signals();

// Makes the last close of connection `fd` a reset (SO_LINGER {1, 0}), or a clean end again, so
// that a peer whose bytes were dropped learns it. Async-signal-safe (setsockopt only).
void set_reset_on_close(int fd, bool reset);

// Makes `fd` block, or not, in its calls; false when fcntl fails. Async-signal-safe (fcntl only),
// so a signal handler may call it.
bool set_blocking(int fd, bool blocking);
