#ifndef KAVRI_UPDATER_LOADER_H_
#define KAVRI_UPDATER_LOADER_H_

#include "updater/updater_module.h"

namespace kavri {

// The updater module of the agent's bundle (Contents/Frameworks), loaded for
// each check and unloaded once the check has ended: its thread and
// libraries (libcurl with its TLS libraries, libarchive, libsodium, expat)
// cost nothing between checks. What this gives stands in for the module for
// the rest of the process: its shared updater keeps the settings and the
// schedule of automatic checks in the agent and hands each check to a fresh
// loading of the module. A later loading that fails drops that check with
// the reason logged.
//
// nullptr, once it has logged why, when the module cannot be loaded at
// first: the agent runs outside a bundle, the module is missing, it is of
// another build than the agent's own (a package upgrade replaced it under a
// running agent, say: nothing of it runs then), or it does not fit this
// agent. The agent then runs on without an updater until its next start.
// Later calls give the same answer without trying again.
// Main thread, with the main loop running (MainLoop).
const UpdaterModule* loadUpdaterModule();

}  // namespace kavri

#endif  // KAVRI_UPDATER_LOADER_H_
