#ifndef KAVRI_UPDATER_UPDATE_TRIAL_H_
#define KAVRI_UPDATER_UPDATE_TRIAL_H_

#include <optional>
#include <string>

#include "updater/updater.h"

namespace kavri {

// A new version runs on trial until it has come up. It is started from the
// staging directory (".NAME.update/NAME" beside the installed bundle NAME)
// while the previous version stays installed, and takes the installed
// bundle's place only once it has sent its first catalogue; it then starts
// again from there. Whatever ends it before then, the previous version is
// still installed: an exit through the agent's own code starts it again in
// the same process, and a crash leaves it for the service manager's
// restart. Either way the previous version reports the failed update when
// it starts and does not install that version again. doc/update_rollback.md
// has the whole design.

// Start-up, before the server is launched; main thread, once.
// - Running the installed bundle: when a version started on trial ended
//   before it came up, tells `delegate` why (updaterDidAbortWithError),
//   removes it and remembers its version as failed.
// - Running a version on trial: from now until updateCameUp, a std::exit
//   brings the previous version back in this process instead.
void settleUpdateTrial(UpdaterDelegate& delegate);

// Start-up, once the first catalogue is sent; main thread. For a version on
// trial: stops the server, moves the version into the installed bundle's
// place for good, removes the previous version and starts the installed
// executable in this process (so nothing runs from a path that moved); if
// the move fails, the previous version is started again instead. Returns
// only for an installed bundle, doing nothing.
void updateCameUp();

// Where the running bundle is installed: the bundle's own path, or for a
// version on trial the path it replaces. Empty outside a bundle. Any thread
// once start-up has settled the trial.
std::string installedBundlePath();

// The version of an update that was started here and failed to come up, as
// recorded beside `installedBundle`; nullopt when none is recorded.
std::optional<std::string> failedUpdateVersion(const std::string& installedBundle);

// The steps above, on explicit paths, for tests and for the functions above.
class UpdateTrial {
 public:
  // The trial as seen from a process running the bundle `runningBundle`.
  explicit UpdateTrial(std::string runningBundle);

  // Moves `stagedBundle` (unpacked inside the staging directory of
  // `installedBundle`) to where a trial starts from, and records its
  // `version`. The executable to start, or nullopt with the reason in `err`.
  static std::optional<std::string> prepare(const std::string& stagedBundle,
                                            const std::string& installedBundle,
                                            const std::string& version, std::string* err);

  // Whether this process runs a version on trial.
  bool onTrial() const { return onTrial_; }
  const std::string& installedBundle() const { return installedBundle_; }

  // Running the installed bundle: why a version on trial ended before it came
  // up, or nullopt when none did. Clears the trial away either way (a trial
  // that came up but was interrupted while removing the previous version is
  // simply finished) and records the failed version.
  std::optional<std::string> takeFailure();

  // On trial: the trial bundle takes the installed bundle's place; the
  // previous version and the record go. False, with the reason in `err`,
  // when the exchange fails: nothing has changed then.
  bool commit(std::string* err);

  // On trial: records `why` the trial ends and returns the installed
  // (previous) version's executable, to be started instead.
  std::string abandon(const std::string& why);

 private:
  std::string runningBundle_;
  std::string installedBundle_;
  std::string stagingDirectory_;
  bool onTrial_ = false;
};

}  // namespace kavri

#endif  // KAVRI_UPDATER_UPDATE_TRIAL_H_
