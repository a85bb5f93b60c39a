#include "app_delegate.h"

#include "fonts/font_scanner.h"
#include "platform/log.h"

namespace kavri {

AppDelegate::AppDelegate() = default;
AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {}

void AppDelegate::updaterDidFindValidUpdate(const UpdateItem& item) {
  logLine("Found update: %s", item.fileURL.c_str());
}

void AppDelegate::updaterWillInstallUpdate(const UpdateItem& item) {
  logLine("About to install update: %s", item.fileURL.c_str());
}

void AppDelegate::updaterWillRelaunchApplication() { logLine("Relaunching to install update"); }

void AppDelegate::updaterWillInstallUpdateOnQuit(const UpdateItem&,
                                                 std::function<void()> immediateInstallation) {
  immediateInstallation();
}

void AppDelegate::updaterDidAbortWithError(const std::string& localizedDescription) {
  logLine("Update error %s", localizedDescription.c_str());
}

}  // namespace kavri
