// For tests and benchmarks: a network namespace of one's own, and connections into it.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// Moves the calling process into a fresh network namespace with `lo` up, so that the service
// port is private to it and its children. Without root, the process first enters a user
// namespace of its own (once), in which it is root. False where neither is allowed.
bool enter_private_network();

// One line for the user when enter_private_network fails: why, and the ways out.
inline constexpr char PRIVATE_NETWORK_HELP[] =
    "no private network namespace: run as root, or allow unprivileged user namespaces "
    "(sysctl user.max_user_namespaces=15000, and where they exist "
    "kernel.unprivileged_userns_clone=1 and kernel.apparmor_restrict_unprivileged_userns=0)";

// The IPv4 address `host` (dotted quad) with `port`.
sockaddr_in address_of(const char* host, std::uint16_t port);

// A blocking connection to 127.0.0.1 on the service port, with Nagle off, from the local
// address `from` when one is given; -1 if refused.
int connect_service_port(const char* from = nullptr);

// The same, started without waiting (non-blocking): the handshake completes, or fails, later;
// once it polls writable, connect_succeeded says which. -1 if it could not even be started.
int start_connect_service_port();

// Whether the connection that start_connect_service_port began is established (SO_ERROR is 0).
bool connect_succeeded(int fd);

// Closes with SO_LINGER 0: the peer sees a reset, and no TIME_WAIT socket is left behind.
void close_with_reset(int fd);

inline constexpr std::size_t UNTIL_CLOSED = std::string::npos;

// Sends `data` while reading back up to `expect_back` bytes, so that neither side blocks the
// other; returns what came back (less when the peer closes or the deadline passes). With
// UNTIL_CLOSED it ends its sending side once all is sent and reads until the peer closes.
std::string stream_through(int fd, const std::string& data, std::size_t expect_back,
                           std::chrono::milliseconds deadline = std::chrono::seconds(60));
