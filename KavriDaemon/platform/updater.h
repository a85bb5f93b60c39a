#ifndef KAVRI_PLATFORM_UPDATER_H_
#define KAVRI_PLATFORM_UPDATER_H_

#include <functional>
#include <string>

namespace kavri {

// An update that the updater found in its feed.
struct UpdateItem {
  std::string fileURL;  // the download address, as its full text
  std::string version;  // sparkle:version
  std::string displayVersion;
};

// What the updater tells its delegate as its work proceeds. Callbacks arrive
// on the updater's own thread.
class UpdaterDelegate {
 public:
  virtual ~UpdaterDelegate() = default;
  virtual void updaterDidFindValidUpdate(const UpdateItem& item) = 0;
  virtual void updaterWillInstallUpdate(const UpdateItem& item) = 0;
  virtual void updaterWillRelaunchApplication() = 0;
  // The update is downloaded and verified; calling `immediateInstallation`
  // installs it now instead of at quit.
  virtual void updaterWillInstallUpdateOnQuit(const UpdateItem& item,
                                              std::function<void()> immediateInstallation) = 0;
  virtual void updaterDidAbortWithError(const std::string& localizedDescription) = 0;
};

// The self-updater. One shared instance for the process.
class Updater {
 public:
  virtual ~Updater() = default;

  static Updater& sharedUpdater();

  // The delegate must outlive the updater (the application delegate does).
  virtual void setDelegate(UpdaterDelegate* delegate) = 0;
  virtual void setAutomaticallyChecksForUpdates(bool on) = 0;
  virtual void setAutomaticallyDownloadsUpdates(bool on) = 0;
  virtual void setFeedURL(const std::string& url) = 0;
  // Starts a check and returns at once. Callable from any thread.
  virtual void checkForUpdatesInBackground() = 0;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_UPDATER_H_
