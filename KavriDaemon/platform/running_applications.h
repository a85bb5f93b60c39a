#ifndef KAVRI_PLATFORM_RUNNING_APPLICATIONS_H_
#define KAVRI_PLATFORM_RUNNING_APPLICATIONS_H_

#include <sys/types.h>

#include <memory>
#include <vector>

namespace kavri {

// One running copy of the agent, held from the moment it was found: acting
// on it reaches that process and no other, even after it has ended and its
// process id went to someone else.
class RunningApplication {
 public:
  virtual ~RunningApplication() = default;

  virtual pid_t processIdentifier() const = 0;

  // Ends it at once (SIGKILL); the outcome is not reported. A copy that has
  // already ended is left alone, and so is any process that got its id.
  virtual void forceTerminate() = 0;
};

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

  // Every process of this user (the caller's real uid) running a copy of
  // the agent: the executable of a bundle with the agent's bundle
  // identifier or, for an agent outside a bundle, the agent's own
  // executable. The caller itself is among them. Processes that cannot be
  // inspected are left out; looking never blocks on what a process's files
  // turn out to be.
  virtual std::vector<std::unique_ptr<RunningApplication>> runningCopies() = 0;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_RUNNING_APPLICATIONS_H_
