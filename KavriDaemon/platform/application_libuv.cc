#include "platform/application.h"

#include <malloc.h>
#include <signal.h>

#include "platform/main_loop.h"

namespace kavri {

int applicationMain(int, char**, std::unique_ptr<ApplicationDelegate> delegate) {
  // A write to a server that has gone fails instead of killing the agent by
  // SIGPIPE, so the server's termination handler logs and sets the status.
  // Children get the default back when they are spawned.
  signal(SIGPIPE, SIG_IGN);
  // The agent runs for weeks with bursts of work (a catalogue of tens of
  // thousands of fonts is megabytes) between long idle stretches: large
  // blocks get mappings of their own and free pages at the heap's top go
  // back, instead of being kept for a peak that may not come again.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024);
  MainLoop& loop = MainLoop::shared();
  // The delegate lives until the process ends; other threads may still use it
  // while exit() runs, so it is never destroyed.
  ApplicationDelegate* appDelegate = delegate.release();
  appDelegate->applicationDidFinishLaunching();
  loop.run();
  return 0;
}

}  // namespace kavri
