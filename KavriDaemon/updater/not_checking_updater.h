#ifndef KAVRI_UPDATER_NOT_CHECKING_UPDATER_H_
#define KAVRI_UPDATER_NOT_CHECKING_UPDATER_H_

#include <string>

#include "platform/log.h"
#include "updater/updater.h"

namespace kavri {

// The updater of an agent that has nothing to check: its bundle is not its
// to replace (packageManagedReason), or names no feed. The updater module is
// never loaded for it; it checks and downloads nothing, and answers each
// check request with `reason`, logged. Any thread. All of it is inline: the
// agent exports functions to the module, not vtables.
class NotCheckingUpdater : public Updater {
 public:
  explicit NotCheckingUpdater(std::string reason) : reason_(std::move(reason)) {}

  void setDelegate(UpdaterDelegate*) override {}
  void setAutomaticallyChecksForUpdates(bool) override {}
  void setAutomaticallyDownloadsUpdates(bool) override {}
  void setFeedURL(const std::string&) override {}
  void checkForUpdatesInBackground() override { logLine("%s", reason_.c_str()); }

 private:
  const std::string reason_;
};

}  // namespace kavri

#endif  // KAVRI_UPDATER_NOT_CHECKING_UPDATER_H_
