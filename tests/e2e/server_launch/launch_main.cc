// Entry point of the server-launch test bundle: only the server launch and
// the handshake, so these scenarios stand apart from the rest of start-up.
// The process ends as the agent does: validation failure, or the server's
// end.

#include <unistd.h>

#include "app_delegate.h"
#include "server/handshake.h"
#include "server/server_launch.h"

int main() {
  kavri::AppDelegate delegate;
  int serverInput = kavri::launchServer([&delegate] { delegate.serverAskedForUpdateCheck(); });
  kavri::sendHandshake(serverInput);
  for (;;) pause();
}
