#include "server/channel.h"

#include <unistd.h>

namespace kavri {

int serverStdin = -1;

void sendStringToServer(std::string_view text) {
  const char* next = text.data();
  size_t remaining = text.size();
  while (remaining > 0) {
    ssize_t written = write(serverStdin, next, remaining);
    if (written <= 0) return;
    next += written;
    remaining -= static_cast<size_t>(written);
  }
}

}  // namespace kavri
