#include "platform/application.h"

#include "platform/main_loop.h"

namespace kavri {

int applicationMain(int, char**, std::unique_ptr<ApplicationDelegate> delegate) {
  MainLoop& loop = MainLoop::shared();
  // The delegate lives until the process ends; other threads may still use it
  // while exit() runs, so it is never destroyed.
  ApplicationDelegate* appDelegate = delegate.release();
  appDelegate->applicationDidFinishLaunching();
  loop.run();
  return 0;
}

}  // namespace kavri
