#include "platform/application.h"

#include <signal.h>

#include "platform/main_loop.h"

namespace kavri {

int applicationMain(int, char**, std::unique_ptr<ApplicationDelegate> delegate) {
  // A write to a server that has gone fails instead of killing the agent by
  // SIGPIPE, so the server's termination handler logs and sets the status.
  // Children get the default back when they are spawned.
  signal(SIGPIPE, SIG_IGN);
  MainLoop& loop = MainLoop::shared();
  // The delegate lives until the process ends; other threads may still use it
  // while exit() runs, so it is never destroyed.
  ApplicationDelegate* appDelegate = delegate.release();
  appDelegate->applicationDidFinishLaunching();
  loop.run();
  return 0;
}

}  // namespace kavri
