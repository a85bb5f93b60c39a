#ifndef KAVRI_UPDATER_LOADER_H_
#define KAVRI_UPDATER_LOADER_H_

#include "updater/updater_module.h"

namespace kavri {

// The updater module of the agent's bundle (Contents/Frameworks), loaded on
// the first call and kept for the rest of the process, since the updater's
// thread runs its code. nullptr, once it has logged why, when it cannot be
// loaded: the agent runs outside a bundle, the module is missing, it is of
// another build than the agent's own (a package upgrade replaced it under a
// running agent, say: nothing of it runs then), or it does not fit this
// agent. The agent then runs on without an updater until its next start.
// Later calls give the same answer without trying again.
// Main thread.
const UpdaterModule* loadUpdaterModule();

}  // namespace kavri

#endif  // KAVRI_UPDATER_LOADER_H_
