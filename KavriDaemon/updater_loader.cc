#include "updater_loader.h"

#include <memory>
#include <string>

#include "platform/bundle.h"
#include "platform/loadable_module.h"
#include "platform/log.h"

namespace kavri {
namespace {

const UpdaterModule* load() {
  const Bundle* bundle = Bundle::main();
  if (!bundle) {
    logLine("cannot load the updater: the agent runs outside its bundle");
    return nullptr;
  }
  std::string err;
  std::unique_ptr<LoadableModule> module = LoadableModule::load(*bundle, kUpdaterModuleName, kUpdaterModuleBuildId, &err);
  void* entry = module ? module->symbol(kUpdaterModuleEntry, &err) : nullptr;
  if (!entry) {
    logLine("cannot load the updater: %s", err.c_str());
    return nullptr;
  }
  // Never unloaded: the updater and its thread live as long as the process.
  module.release();
  return reinterpret_cast<const UpdaterModule* (*)()>(entry)();
}

}  // namespace

const UpdaterModule* loadUpdaterModule() {
  static const UpdaterModule* module = load();
  return module;
}

}  // namespace kavri
