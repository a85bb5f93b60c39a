#ifndef KAVRI_SERVER_CHANNEL_H_
#define KAVRI_SERVER_CHANNEL_H_

#include <string_view>

namespace kavri {

// The agent's end (the write end) of the server's standard-input pipe; -1
// until the handshake sets it. Main thread only.
extern int serverStdin;

// Writes `text` (UTF-8, the caller includes the line feed) whole to
// serverStdin, looping over partial writes. A write that returns zero or
// fails abandons the rest silently. Main thread only.
void sendStringToServer(std::string_view text);

}  // namespace kavri

#endif  // KAVRI_SERVER_CHANNEL_H_
