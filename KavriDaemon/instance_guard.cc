#include "instance_guard.h"

namespace kavri {

bool startedByServiceManager(RunningApplications& applications) {
  pid_t parent = applications.parentProcessId();
  if (parent == 1) return true;
  pid_t manager = applications.serviceManagerProcessId();
  return manager > 0 && parent == manager;
}

bool stopOtherCopiesUnlessServiceManaged(RunningApplications& applications) {
  if (startedByServiceManager(applications)) return false;
  pid_t self = applications.currentProcessId();
  for (const auto& copy : applications.runningCopies())
    if (copy->processIdentifier() != self) copy->forceTerminate();
  return true;
}

}  // namespace kavri
