#include "server/channel.h"

#include "platform/pipe.h"
#include "base/utf8.h"

namespace kavri {

int serverStdin = -1;

void sendStringToServer(std::string_view text) {
  if (!isValidUtf8(text)) return;
  while (!text.empty()) {
    ssize_t written = writeSome(serverStdin, text);
    if (written <= 0) return;
    text.remove_prefix(static_cast<size_t>(written));
  }
}

}  // namespace kavri
