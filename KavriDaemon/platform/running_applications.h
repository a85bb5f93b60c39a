#ifndef KAVRI_PLATFORM_RUNNING_APPLICATIONS_H_
#define KAVRI_PLATFORM_RUNNING_APPLICATIONS_H_

#include <sys/types.h>

#include <vector>

namespace kavri {

// What the instance guard needs to know of processes: its own, its parent,
// and the other running copies of the agent.
class RunningApplications {
 public:
  virtual ~RunningApplications() = default;

  static RunningApplications& shared();

  virtual pid_t currentProcessId() = 0;

  // The parent's process id; 0 when it cannot be read.
  virtual pid_t parentProcessId() = 0;

  // The service manager that runs per-user agents, when it names itself
  // (MANAGERPID); 0 otherwise. Process 1 is always one.
  virtual pid_t serviceManagerProcessId() = 0;

  // Every process running a copy of the agent: the executable of a bundle
  // with the agent's bundle identifier or, for an agent outside a bundle, the
  // agent's own executable. Processes that cannot be inspected are left out.
  virtual std::vector<pid_t> runningCopies() = 0;

  // Ends `pid` at once (SIGKILL); the outcome is not reported.
  virtual void forceTerminate(pid_t pid) = 0;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_RUNNING_APPLICATIONS_H_
