// The end of a connection that a stop cut short.
#pragma once

// Ends the server's side of the stream after the answers already written (released from any
// cork), then reads and drops what the peer still sends until it ends its side, stays silent for
// a second, or has acknowledged every answer and the end; then closes. Closing with input unread
// at once would reset the connection and throw away the answers still on their way.
void close_lingering(int connection);
