#ifndef KAVRI_PLATFORM_APPLICATION_H_
#define KAVRI_PLATFORM_APPLICATION_H_

#include <memory>

namespace kavri {

// What the application loop needs of its delegate.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  // Called once, on the main thread, before the loop runs.
  virtual void applicationDidFinishLaunching() = 0;
};

// The application main function: takes the one delegate for the life of the
// process, calls applicationDidFinishLaunching() on the main thread, then runs
// the main loop for good. Returns only if the loop is stopped.
int applicationMain(int argc, char** argv, std::unique_ptr<ApplicationDelegate> delegate);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_APPLICATION_H_
