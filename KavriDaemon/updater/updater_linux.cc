// The updater's thread and schedule; the work of one check is in
// update_check.cc.

#include "updater/updater.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/bundle.h"
#include "platform/child_process.h"
#include "platform/log.h"
#include "updater/not_checking_updater.h"
#include "updater/package_managed.h"
#include "updater/update_check.h"
#include "updater/update_install.h"
#include "updater/update_trial.h"

namespace kavri {

namespace {

class LinuxUpdater : public Updater {
 public:
  explicit LinuxUpdater(UpdaterOptions options)
      : options_(std::move(options)),
        interval_(options_.checkInterval.value_or(scheduledCheckInterval(
            Bundle(options_.bundlePath).infoInteger("SUScheduledCheckInterval")))) {
    // What an earlier install left (the version before this one) goes now.
    if (!options_.bundlePath.empty()) removeTree(UpdateStaging::pathFor(options_.bundlePath), nullptr);
    thread_ = std::thread([this] { work(); });
  }

  ~LinuxUpdater() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    cancel_ = true;
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void setDelegate(UpdaterDelegate* delegate) override {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
  }

  void setAutomaticallyChecksForUpdates(bool on) override {
    {
      std::lock_guard lock(mutex_);
      if (on && !automaticChecks_) nextScheduledCheck_ = std::chrono::steady_clock::now() + interval_;
      automaticChecks_ = on;
    }
    wake_.notify_all();
  }

  void setAutomaticallyDownloadsUpdates(bool on) override {
    std::lock_guard lock(mutex_);
    automaticDownloads_ = on;
  }

  void setFeedURL(const std::string& url) override {
    std::lock_guard lock(mutex_);
    feedURL_ = url;
  }

  void checkForUpdatesInBackground() override {
    {
      std::lock_guard lock(mutex_);
      if (feedURL_.empty()) {
        logLine("%s", kNoFeedSetLine);
        return;
      }
      if (!checkAsked_ && !checking_) {
        checkAsked_ = true;
        wake_.notify_all();
        return;
      }
    }
    logLine("%s", kCheckUnderWayLine);
  }

 private:
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stopping_) return;
      bool scheduledDue = automaticChecks_ && !feedURL_.empty() &&
                          std::chrono::steady_clock::now() >= nextScheduledCheck_;
      if (!checkAsked_ && !scheduledDue) {
        // Sleeps until woken or until the next scheduled check: nothing
        // polls. Any wake-up goes round again, since a setting may have
        // changed what there is to wait for.
        if (automaticChecks_)
          wake_.wait_until(lock, nextScheduledCheck_);
        else
          wake_.wait(lock);
        continue;
      }
      checkAsked_ = false;
      checking_ = true;
      UpdateCheckSettings settings{feedURL_, automaticDownloads_};
      UpdaterDelegate* delegate = delegate_;
      lock.unlock();
      UpdateCheckOutcome outcome = runUpdateCheck(settings, options_, delegate, cancel_);
      lock.lock();
      checking_ = false;
      nextScheduledCheck_ = std::chrono::steady_clock::now() + interval_;
      // The check is over before anyone hears of its end.
      lock.unlock();
      if (outcome.error && delegate) delegate->updaterDidAbortWithError(*outcome.error);
      if (outcome.relaunchFailed && options_.afterFailedRelaunch) options_.afterFailedRelaunch();
      if (options_.checkEnded) options_.checkEnded();
      lock.lock();
    }
  }

  const UpdaterOptions options_;
  const std::chrono::milliseconds interval_;
  std::atomic<bool> cancel_{false};

  std::mutex mutex_;
  std::condition_variable wake_;
  // Guarded by mutex_.
  UpdaterDelegate* delegate_ = nullptr;
  bool automaticChecks_ = false;
  bool automaticDownloads_ = false;
  std::string feedURL_;
  bool checkAsked_ = false;
  bool checking_ = false;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point nextScheduledCheck_;

  std::thread thread_;  // last: starts once everything above is set
};

// Replaces the process with the freshly installed executable. The server
// goes first, quietly, so its end is not taken for a death.
bool relaunchIntoUpdate(const std::string& executable, std::string* err) {
  stopChildProcessesForRelaunch();
  return execInPlace(executable, ownArguments(), err);
}

}  // namespace

std::unique_ptr<Updater> Updater::create(UpdaterOptions options) {
  // The agent does not even load its updater for a bundle that is not its
  // to replace; made for one all the same, it has no thread and no feed.
  if (std::optional<std::string> reason = packageManagedReason(options.bundlePath))
    return std::make_unique<NotCheckingUpdater>(std::move(*reason));
  return std::make_unique<LinuxUpdater>(std::move(options));
}

std::unique_ptr<Updater> Updater::createForBundle(std::function<void()> checkEnded) {
  UpdaterOptions options;
  options.bundlePath = installedBundlePath();
  options.relaunch = &relaunchIntoUpdate;
  // The server is gone and the old bundle is back: start it afresh, or
  // end so the service manager does.
  options.afterFailedRelaunch = [] {
    std::string why;
    execInPlace("/proc/self/exe", ownArguments(), &why);
    logLine("cannot restart after a failed update: %s", why.c_str());
    _exit(1);
  };
  options.checkEnded = std::move(checkEnded);
  return create(std::move(options));
}

Updater& Updater::sharedUpdater() {
  static Updater* shared = createForBundle(nullptr).release();
  return *shared;
}

}  // namespace kavri
