#include "updater/updater_module.h"

#include "updater/url.h"

extern "C" const kavri::UpdaterModule* kavriUpdaterModule() {
  static const kavri::UpdaterModule module{&kavri::Updater::sharedUpdater, &kavri::isURL,
                                           &kavri::Updater::createForBundle};
  return &module;
}
