#ifndef KAVRI_INSTANCE_GUARD_H_
#define KAVRI_INSTANCE_GUARD_H_

#include "platform/running_applications.h"

namespace kavri {

// True when the service manager started this copy: its parent is process 1
// or the per-user service manager. An unreadable parent (0) is neither.
bool startedByServiceManager(RunningApplications& applications);

// A copy that was not started by the service manager is a stopper: it
// force-terminates every other running copy and returns true, and the caller
// then ends the process with status 0. Returns false for the service
// manager's own copy, which goes on starting up. Never signals itself.
bool stopOtherCopiesUnlessServiceManaged(RunningApplications& applications);

}  // namespace kavri

#endif  // KAVRI_INSTANCE_GUARD_H_
