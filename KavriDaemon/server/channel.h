#ifndef KAVRI_SERVER_CHANNEL_H_
#define KAVRI_SERVER_CHANNEL_H_

#include <string_view>

namespace kavri {

// The agent's end (the write end) of the server's standard-input pipe; -1
// until the handshake sets it, then fixed for the life of the process and
// never closed. Main thread only.
extern int serverStdin;

// Writes `text` (UTF-8; the caller includes the line feed) whole to
// serverStdin, looping over partial writes. Text that is not well-formed
// UTF-8 is not written at all. A write that returns zero or fails (an
// interrupted one included) abandons the rest silently; later calls still
// try. Blocks while the pipe is full. Main thread only.
//
// The broken-pipe signal keeps the platform's disposition: by default a
// write after the server closed its standard input ends the agent.
void sendStringToServer(std::string_view text);

}  // namespace kavri

#endif  // KAVRI_SERVER_CHANNEL_H_
