// The update controller: AppDelegate's delayed update start and its part as
// the updater's delegate.

#include "app_delegate.h"
#include "platform/bundle.h"
#include "platform/log.h"
#include "updater/not_checking_updater.h"
#include "updater/package_managed.h"
#include "updater/update_trial.h"

namespace kavri {

namespace {

constexpr char kNoFeed[] = "no update feed configured (SUFeedURL), not checking for updates";

}  // namespace

void AppDelegate::answerChecksWithoutUpdater(std::string reason) {
  notCheckingUpdater_ = std::make_unique<NotCheckingUpdater>(std::move(reason));
  updater_.store(notCheckingUpdater_.get(), std::memory_order_release);
  notCheckingUpdater_->checkForUpdatesInBackground();
}

void AppDelegate::startUpdater() {
  // A bundle the package manager updates is never changed by the agent, so
  // its updater is not even loaded: the check of this start and each the
  // server asks for are answered with one line.
  if (std::optional<std::string> reason = packageManagedReason(installedBundlePath()))
    return answerChecksWithoutUpdater(std::move(*reason));
  const Bundle* bundle = Bundle::main();
  std::optional<std::string> feed = bundle ? bundle->infoString("SUFeedURL") : std::nullopt;
  // Left unset, the updater would check nothing: it is not loaded, and its
  // libraries cost nothing, for a feed that is not there. Outside a bundle
  // the loader says why there is no updater.
  if (bundle && (!feed || feed->empty())) return answerChecksWithoutUpdater(kNoFeed);
  const UpdaterModule* module = loadUpdater_();
  if (!module) return;
  Updater& updater = module->sharedUpdater();
  // Stored first: from here on the server's requests reach the updater.
  updater_.store(&updater, std::memory_order_release);
  updater.setDelegate(this);
  updater.setAutomaticallyChecksForUpdates(true);
  updater.setAutomaticallyDownloadsUpdates(true);
  if (!feed || feed->empty()) {
    logLine("%s", kNoFeed);
    return;
  }
  if (!module->isURL(*feed)) {
    logLine("update feed (SUFeedURL) is not a URL: %s, not checking for updates", feed->c_str());
    return;
  }
  updater.setFeedURL(*feed);
  updater.checkForUpdatesInBackground();
}

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
