#ifndef KAVRI_APP_DELEGATE_H_
#define KAVRI_APP_DELEGATE_H_

#include <atomic>
#include <memory>

#include "platform/application.h"
#include "updater/updater.h"
#include "updater_loader.h"

namespace kavri {

class FontScanner;

// The application delegate: one for the life of the process. Runs the
// start-up sequence and, as the updater's delegate, the update controller.
class AppDelegate : public ApplicationDelegate, public UpdaterDelegate {
 public:
  // `loadUpdater` yields the updater module whose shared updater the delayed
  // update start takes, or nullptr when there is none (it says why); tests
  // hand in their own.
  explicit AppDelegate(const UpdaterModule* (*loadUpdater)() = &loadUpdaterModule);
  ~AppDelegate() override;
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  void applicationDidFinishLaunching() override;

  // The delayed update start: loads the updater, takes its shared updater,
  // configures it for automatic checks and downloads from SUFeedURL and asks
  // for a check. An updater that cannot be loaded leaves the agent without
  // one: the server's requests are dropped, as before the start. For a
  // bundle that is not the agent's to replace (packageManagedReason), or
  // that names no feed, nothing is loaded: each check, this start's
  // included, is answered with one log line. Main thread.
  void startUpdater();

  // The shared updater once the delayed update start has run, else nullptr.
  // Any thread: the output reader reads it on its own.
  Updater* updater() const { return updater_.load(std::memory_order_acquire); }

  // The server asked for an update check: a background check once the
  // updater has started; before that the request is dropped. Any thread.
  void serverAskedForUpdateCheck() const {
    if (Updater* u = updater()) u->checkForUpdatesInBackground();
  }

  // UpdaterDelegate.
  void updaterDidFindValidUpdate(const UpdateItem& item) override;
  void updaterWillInstallUpdate(const UpdateItem& item) override;
  void updaterWillRelaunchApplication() override;
  void updaterWillInstallUpdateOnQuit(const UpdateItem& item,
                                      std::function<void()> immediateInstallation) override;
  void updaterDidAbortWithError(const std::string& localizedDescription) override;

 private:
  // Answers each check, this start's first, with `reason`: there is
  // nothing to check, and no updater is loaded. Main thread.
  void answerChecksWithoutUpdater(std::string reason);

  const UpdaterModule* (*loadUpdater_)();
  std::unique_ptr<FontScanner> scanner_;  // set during start-up; main thread
  // What answers the checks when there is nothing to check (the bundle is
  // the package manager's to update, or names no feed); set once on the
  // main thread, before updater_.
  std::unique_ptr<Updater> notCheckingUpdater_;
  std::atomic<Updater*> updater_{nullptr};  // written once on the main thread
};

}  // namespace kavri

#endif  // KAVRI_APP_DELEGATE_H_
