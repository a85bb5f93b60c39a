#ifndef KAVRI_UPDATER_UPDATE_CHECK_H_
#define KAVRI_UPDATER_UPDATE_CHECK_H_

#include <atomic>
#include <optional>
#include <string>

#include "updater/updater.h"

namespace kavri {

// What one check works with, taken when it starts.
struct UpdateCheckSettings {
  std::string feedURL;
  bool automaticallyDownloads = false;
};

// How a check ended.
struct UpdateCheckOutcome {
  // Why nothing was installed, for updaterDidAbortWithError; nullopt when
  // the update was only to be reported, or was installed (tests only: a
  // real install does not return).
  std::optional<std::string> error;
  bool relaunchFailed = false;  // the server may be gone: recover
};

// One whole check, on the calling thread: fetch and parse the feed, pick the
// newest release for this system, report it, and with automatic downloads
// download it into the staging directory beside the running bundle, verify
// its signature against SUPublicEDKey, unpack it, check it, and offer it for
// immediate installation. The staging directory is gone when it returns.
// `cancel` ends the check early. The caller reports the outcome, so that a
// delegate told of it can already ask for the next check.
UpdateCheckOutcome runUpdateCheck(const UpdateCheckSettings& settings, const UpdaterOptions& options,
                                  UpdaterDelegate* delegate, const std::atomic<bool>& cancel);

}  // namespace kavri

#endif  // KAVRI_UPDATER_UPDATE_CHECK_H_
