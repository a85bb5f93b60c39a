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
#include "updater/update_trial.h"

namespace kavri {
namespace {

constexpr std::chrono::seconds kUpdaterStartDelay{60};

// The platform's font set, loaded so that the first scan finds it ready.
// Nothing is logged or sent: the scan does that in its place.
void loadFontList() { FontSource::shared().availableFonts(); }

}  // namespace

AppDelegate::AppDelegate(const UpdaterModule* (*loadUpdater)()) : loadUpdater_(loadUpdater) {}
AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  // A copy that its service manager did not start only stops the others.
  if (stopOtherCopiesUnlessServiceManaged(RunningApplications::shared())) std::exit(0);
  // An update that ended before it came up is reported and gone; a new
  // version on trial is watched from here.
  settleUpdateTrial(*this);

  // The server's files are hashed on a thread of their own while the fonts
  // are listed here: the two longest steps of the start, independent of
  // each other. Nothing is started before the files have passed.
  ServerFilesCheck serverFiles = checkServerFiles();
  loadFontList();
  int serverInput = launchServer([this] { serverAskedForUpdateCheck(); }, serverFiles);
  sendHandshake(serverInput);

  scanner_ = std::make_unique<FontScanner>();
  scanner_->scanForFonts();
  // The first catalogue is sent: a new version on trial has come up.
  updateCameUp();
  FontSetNotifier::shared().addObserver([scanner = scanner_.get()] { scanner->fontSetChanged(); });

  MainLoop::shared().runAfter(kUpdaterStartDelay, [this] { startUpdater(); });
}

}  // namespace kavri
