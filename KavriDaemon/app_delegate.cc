#include "app_delegate.h"

#include "fonts/font_scanner.h"
#include "platform/log.h"

namespace kavri {

AppDelegate::AppDelegate(Updater& (*sharedUpdater)()) : sharedUpdater_(sharedUpdater) {}
AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {}

}  // namespace kavri
