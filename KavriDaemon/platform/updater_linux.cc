#include "platform/updater.h"

namespace kavri {
namespace {

// Placeholder until the real updater lands: accepts its settings, checks nothing.
class InertUpdater : public Updater {
 public:
  void setDelegate(UpdaterDelegate*) override {}
  void setAutomaticallyChecksForUpdates(bool) override {}
  void setAutomaticallyDownloadsUpdates(bool) override {}
  void setFeedURL(const std::string&) override {}
  void checkForUpdatesInBackground() override {}
};

}  // namespace

Updater& Updater::sharedUpdater() {
  static InertUpdater* updater = new InertUpdater();
  return *updater;
}

}  // namespace kavri
