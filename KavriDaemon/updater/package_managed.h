#ifndef KAVRI_UPDATER_PACKAGE_MANAGED_H_
#define KAVRI_UPDATER_PACKAGE_MANAGED_H_

#include <optional>
#include <string>

#include "platform/log.h"
#include "updater/updater.h"

namespace kavri {

// The one line that answers every update check when the bundle at
// `bundlePath` is not the agent's to replace; nullopt when it is. It is not
// when the package manager installed it (Bundle::isPackageManaged), whoever
// runs the agent, root included, nor when this user cannot replace it
// (canReplaceBundle: someone else's install). Any thread.
std::optional<std::string> packageManagedReason(const std::string& bundlePath);

// The updater of an agent whose bundle is not its to replace. The updater
// module is never loaded for it; it checks and downloads nothing, and
// answers each check request with `reason`, logged. Any thread. All of it
// is inline: the agent exports functions to the module, not vtables.
class PackageManagedUpdater : public Updater {
 public:
  explicit PackageManagedUpdater(std::string reason) : reason_(std::move(reason)) {}

  void setDelegate(UpdaterDelegate*) override {}
  void setAutomaticallyChecksForUpdates(bool) override {}
  void setAutomaticallyDownloadsUpdates(bool) override {}
  void setFeedURL(const std::string&) override {}
  void checkForUpdatesInBackground() override { logLine("%s", reason_.c_str()); }

 private:
  const std::string reason_;
};

}  // namespace kavri

#endif  // KAVRI_UPDATER_PACKAGE_MANAGED_H_
