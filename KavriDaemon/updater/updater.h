#ifndef KAVRI_UPDATER_UPDATER_H_
#define KAVRI_UPDATER_UPDATER_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kavri {

// An update that the updater found in its feed.
struct UpdateItem {
  std::string fileURL;  // the download address, as its full text
  std::string version;  // sparkle:version
  std::string displayVersion;  // sparkle:shortVersionString, may be empty
};

// What the updater tells its delegate as its work proceeds. Callbacks arrive
// on the updater's own thread, one at a time.
class UpdaterDelegate {
 public:
  virtual ~UpdaterDelegate() = default;
  virtual void updaterDidFindValidUpdate(const UpdateItem& item) = 0;
  virtual void updaterWillInstallUpdate(const UpdateItem& item) = 0;
  virtual void updaterWillRelaunchApplication() = 0;
  // The update is downloaded, verified and unpacked. Calling
  // `immediateInstallation` (on this thread, before returning) installs it
  // now and relaunches, so the call returns only if installing failed. Not
  // calling it leaves the update for a quit that never comes: it is dropped.
  virtual void updaterWillInstallUpdateOnQuit(const UpdateItem& item,
                                              std::function<void()> immediateInstallation) = 0;
  // Every check that installs nothing ends here, "no update available"
  // included.
  virtual void updaterDidAbortWithError(const std::string& localizedDescription) = 0;
};

// What an updater acts on. The shared updater uses the agent's own bundle
// and relaunches by exec; tests give their own.
struct UpdaterOptions {
  std::string bundlePath;  // the running bundle (NAME.app)
  // Replaces the process with `executable` (the new bundle's, at the running
  // bundle's path); returns only on failure, with the reason in `err`.
  std::function<bool(const std::string& executable, std::string* err)> relaunch;
  // Runs after a failed relaunch has been undone and reported.
  std::function<void()> afterFailedRelaunch;
  // A download that moves no byte for this long fails.
  std::chrono::seconds stallTimeout{60};
  // The time between automatic checks; unset: from the bundle's
  // SUScheduledCheckInterval (see scheduledCheckInterval).
  std::optional<std::chrono::milliseconds> checkInterval;
  // Called on the updater's thread once each check has ended and its end
  // has been reported: from then on the updater holds nothing of the check
  // and may be destroyed, from another thread.
  std::function<void()> checkEnded;
};

// How a dropped check request is answered, by whichever updater drops it.
inline constexpr char kNoFeedSetLine[] = "no update feed set, update check request dropped";
inline constexpr char kCheckUnderWayLine[] = "update check already in progress, request dropped";

// The self-updater: checks a signed feed, downloads, verifies and installs
// a newer bundle, and relaunches into it. All work runs on a thread of its
// own; a check is under way at most once at a time.
class Updater {
 public:
  virtual ~Updater() = default;

  // The one updater of the process, acting on its bundle; made on first use
  // and never destroyed.
  static Updater& sharedUpdater();
  // An updater of the agent's bundle like the shared one, calling
  // `checkEnded` as each check ends (UpdaterOptions), for an owner that
  // destroys it between checks. Destroying it cancels a check under way and
  // joins its thread.
  static std::unique_ptr<Updater> createForBundle(std::function<void()> checkEnded);
  // An updater of its own, for tests. Destroying it cancels a check under
  // way and joins its thread.
  static std::unique_ptr<Updater> create(UpdaterOptions options);

  // The delegate must outlive the updater (the application delegate does).
  virtual void setDelegate(UpdaterDelegate* delegate) = 0;
  // On: a check every SUScheduledCheckInterval seconds (Info.plist; default
  // a day, at least an hour), counted from the end of the last check.
  virtual void setAutomaticallyChecksForUpdates(bool on) = 0;
  // On: a found update is downloaded and offered for installation; off: a
  // check ends once it has reported the update.
  virtual void setAutomaticallyDownloadsUpdates(bool on) = 0;
  virtual void setFeedURL(const std::string& url) = 0;
  // Asks for a check and returns at once, never blocking on the check.
  // Callable from any thread. A request while a check is asked for or under
  // way, or before a feed address is set, is dropped with a log line.
  // Without a feed address no scheduled check runs either. For a bundle
  // that is not the agent's to replace (packageManagedReason: the package's
  // bundle, or one this user cannot replace), create() makes an updater
  // that never checks: every request is answered with the same one log
  // line, that updates come from the package manager.
  virtual void checkForUpdatesInBackground() = 0;
};

// The interval between automatic checks for an Info.plist value (seconds):
// a day when unset, never less than an hour. Inline: the agent schedules the
// checks of its updater module too.
inline std::chrono::seconds scheduledCheckInterval(std::optional<int64_t> configuredSeconds) {
  constexpr std::chrono::seconds kDefault{24 * 60 * 60};
  constexpr std::chrono::seconds kMinimum{60 * 60};
  if (!configuredSeconds) return kDefault;
  return std::max(kMinimum, std::chrono::seconds(*configuredSeconds));
}

}  // namespace kavri

#endif  // KAVRI_UPDATER_UPDATER_H_
