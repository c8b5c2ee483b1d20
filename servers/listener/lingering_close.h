// The end of a connection that a stop cut short: never a clean end over bytes left unserved.
#pragma once

// How long a peer's end that may be on its way is waited for where the alternative is a reset.
inline constexpr int PEER_END_WAIT_MS = 1000;

// Releases the answers already written from any cork, then waits at most `wait_ms` for the peer's
// end that may be on its way. True when the peer has ended its side and every byte it sent was
// served, or the connection has failed: a plain close then hides nothing. False when it sent
// more (left unread) or is still connected and silent.
bool peer_is_done(int connection, int wait_ms);

// Closes a connection whose peer is not done: once every answer written has been acknowledged,
// or the connection has failed, with a reset, so that the peer learns at its next call that its
// later bytes were not taken. A peer that owes the answers a read is waited on within the stop's
// deadline.
void close_with_reset(int connection);
