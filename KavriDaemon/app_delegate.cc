#include "app_delegate.h"

#include <chrono>
#include <cstdlib>

#include "fonts/font_scanner.h"
#include "instance_guard.h"
#include "platform/font_set_notifier.h"
#include "platform/main_loop.h"
#include "platform/running_applications.h"
#include "server/handshake.h"
#include "server/server_launch.h"

namespace kavri {
namespace {

constexpr std::chrono::seconds kUpdaterStartDelay{60};

}  // namespace

AppDelegate::AppDelegate(Updater& (*sharedUpdater)()) : sharedUpdater_(sharedUpdater) {}
AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  // A copy that its service manager did not start only stops the others.
  if (stopOtherCopiesUnlessServiceManaged(RunningApplications::shared())) std::exit(0);

  int serverInput = launchServer(*this);
  sendHandshake(serverInput);

  scanner_ = std::make_unique<FontScanner>();
  scanner_->scanForFonts();
  FontSetNotifier::shared().addObserver([scanner = scanner_.get()] { scanner->fontSetChanged(); });

  MainLoop::shared().runAfter(kUpdaterStartDelay, [this] { startUpdater(); });
}

}  // namespace kavri
