#ifndef KAVRI_UPDATER_UPDATER_MODULE_H_
#define KAVRI_UPDATER_UPDATER_MODULE_H_

#include <string>

#include "updater/updater.h"

namespace kavri {

// What the updater offers the agent across a module boundary. The updater is
// built as a module (Contents/Frameworks/libkavri_updater.so) that the agent
// loads at the delayed update start, so its libraries (libcurl, libarchive,
// libsodium, expat) are not loaded, nor counted in the agent's memory, before
// then. It uses the agent's own platform layer, which the agent exports.
struct UpdaterModule {
  Updater& (*sharedUpdater)();             // Updater::sharedUpdater
  bool (*isURL)(const std::string& text);  // url.h
  // Updater::createForBundle: the updater of one loading of the module,
  // destroyed before it is unloaded.
  std::unique_ptr<Updater> (*createForBundle)(std::function<void()> checkEnded) = nullptr;
};

// The name under which the module exports its entry point.
inline constexpr char kUpdaterModuleName[] = "kavri_updater";
inline constexpr char kUpdaterModuleEntry[] = "kavriUpdaterModule";

// The build-id of the module built with this agent, generated when the
// module is linked (kavri_add_build_id): the only one the agent loads, since
// a module of another build was built against other functions of the agent.
extern const char kUpdaterModuleBuildId[];

}  // namespace kavri

// The module's entry point: its operations, for the life of the process.
extern "C" const kavri::UpdaterModule* kavriUpdaterModule();

#endif  // KAVRI_UPDATER_UPDATER_MODULE_H_
