#ifndef KAVRI_PLATFORM_CHILD_PROCESS_H_
#define KAVRI_PLATFORM_CHILD_PROCESS_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kavri {

// How a child process ended.
struct ChildTermination {
  bool signaled = false;  // ended by a signal rather than by exiting
  int status = 0;         // the exit code, or the number of the ending signal
};

// What to start. The child always gets the agent's environment, working
// directory and standard error; every descriptor of the agent other than
// the ones named here is closed in it, and its signal dispositions and mask
// are reset to the defaults before it runs.
struct SpawnRequest {
  std::string path;                    // the program, also its argv[0]
  std::vector<std::string> arguments;  // argv[1..]
  int stdinFd = -1;                    // becomes the child's 0; -1: the agent's own
  int stdoutFd = -1;                   // becomes the child's 1; -1: the agent's own
};

// Runs `path` with `arguments` and the agent's own standard streams, and
// waits for it to end. False, with the reason in `err`, when it cannot be
// started; otherwise `termination` (if given) says how it ended.
// Any thread; blocks.
bool runAndWait(const std::string& path, const std::vector<std::string>& arguments,
                ChildTermination* termination, std::string* err);

// A started child process and the thread that waits for its end.
//
// Destroying the handle disarms the termination handler, ends the child
// (SIGTERM, then SIGKILL if it lingers), reaps it and joins the waiting
// thread. A handle may instead be kept until the process ends.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;

  // Starts the child. `onTermination` runs once, on a thread of its own,
  // after the child has ended and been reaped, unless the handler was
  // disarmed first (by the handle's destruction or
  // stopChildProcessesForRelaunch). It may end the process. Returns nullptr,
  // with the reason in `err`, when the child cannot be started; the handler
  // then never runs.
  static std::unique_ptr<ChildProcess> spawn(const SpawnRequest& request,
                                             std::function<void(const ChildTermination&)> onTermination,
                                             std::string* err);

  virtual int pid() const = 0;
};

// For a relaunch by exec: disarms the termination handler of every child
// started with ChildProcess::spawn that is still running, so none of them
// runs, then ends each child (SIGTERM, then SIGKILL after a grace period)
// and reaps it, so no zombie is left. Every descriptor the platform opens
// is close-on-exec, so nothing of the children's pipes survives the exec.
// Any thread; blocks until the children are reaped.
void stopChildProcessesForRelaunch();

}  // namespace kavri

#endif  // KAVRI_PLATFORM_CHILD_PROCESS_H_
