#include "updater_loader.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/bundle.h"
#include "platform/loadable_module.h"
#include "platform/log.h"
#include "platform/main_loop.h"
#include "platform/memory.h"
#include "updater/update_trial.h"

namespace kavri {
namespace {

struct LoadedModule {
  std::unique_ptr<LoadableModule> file;  // unloads the module when destroyed
  const UpdaterModule* entry = nullptr;
};

std::optional<LoadedModule> load() {
  const Bundle* bundle = Bundle::main();
  if (!bundle) {
    logLine("cannot load the updater: the agent runs outside its bundle");
    return std::nullopt;
  }
  std::string err;
  LoadedModule loaded;
  loaded.file = LoadableModule::load(*bundle, kUpdaterModuleName, kUpdaterModuleBuildId, &err);
  void* entry = loaded.file ? loaded.file->symbol(kUpdaterModuleEntry, &err) : nullptr;
  if (!entry) {
    logLine("cannot load the updater: %s", err.c_str());
    return std::nullopt;
  }
  loaded.entry = reinterpret_cast<const UpdaterModule* (*)()>(entry)();
  if (!loaded.entry->createForBundle) {
    logLine("cannot load the updater: %s does not fit this agent", kUpdaterModuleName);
    return std::nullopt;
  }
  return loaded;
}

// The updater the agent keeps between checks. Settings and the schedule
// live here; each check is made by an updater of a fresh loading of the
// module, which is destroyed (its thread joined) and unloaded on the main
// thread once the check has ended.
class OnDemandUpdater : public Updater {
 public:
  explicit OnDemandUpdater(LoadedModule first)
      : loaded_(std::move(first)),
        interval_(scheduledCheckInterval(
            Bundle(installedBundlePath()).infoInteger("SUScheduledCheckInterval"))) {
    // Unless a check follows at once, the first loading goes at the next
    // turn of the loop.
    MainLoop::shared().post([this] { unloadIfIdle(); });
  }

  void setDelegate(UpdaterDelegate* delegate) override {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
  }

  // Main thread.
  void setAutomaticallyChecksForUpdates(bool on) override {
    std::lock_guard lock(mutex_);
    bool was = automaticChecks_;
    automaticChecks_ = on;
    if (on && !was) scheduleNextCheck();
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
    std::lock_guard lock(mutex_);
    if (feedURL_.empty()) {
      logLine("%s", kNoFeedSetLine);
      return;
    }
    if (state_ != State::idle) {
      logLine("%s", kCheckUnderWayLine);
      return;
    }
    state_ = State::starting;
    MainLoop::shared().post([this] { beginCheck(); });
  }

  // The URL check of the module, loaded for it if need be. Main thread.
  bool isURL(const std::string& text) {
    if (!loaded_ && !(loaded_ = load())) return false;
    bool valid = loaded_->entry->isURL(text);
    MainLoop::shared().post([this] { unloadIfIdle(); });
    return valid;
  }

 private:
  enum class State { idle, starting, checking };

  // Main thread.
  void beginCheck() {
    if (!loaded_ && !(loaded_ = load())) {
      std::lock_guard lock(mutex_);
      state_ = State::idle;
      scheduleNextCheck();
      return;
    }
    std::unique_lock lock(mutex_);
    UpdaterDelegate* delegate = delegate_;
    bool downloads = automaticDownloads_;
    std::string feed = feedURL_;
    state_ = State::checking;
    lock.unlock();
    // Called on the check's thread: the updater is destroyed, and the
    // module unloaded, on the main thread.
    checking_ = loaded_->entry->createForBundle([this] { MainLoop::shared().post([this] { endCheck(); }); });
    checking_->setDelegate(delegate);
    checking_->setAutomaticallyDownloadsUpdates(downloads);
    checking_->setFeedURL(feed);
    checking_->checkForUpdatesInBackground();
  }

  // Main thread.
  void endCheck() {
    checking_.reset();
    loaded_.reset();
    // What the check allocated and freed (the feed, curl's buffers) goes too.
    returnFreeMemory();
    std::lock_guard lock(mutex_);
    state_ = State::idle;
    scheduleNextCheck();
  }

  // Main thread.
  void unloadIfIdle() {
    std::lock_guard lock(mutex_);
    if (state_ == State::idle) loaded_.reset();
  }

  // An automatic check one interval after the last one ended, or after they
  // were turned on; a later schedule replaces it. Main thread, mutex_ held.
  void scheduleNextCheck() {
    if (!automaticChecks_) return;
    unsigned schedule = ++schedule_;
    MainLoop::shared().runAfter(interval_, [this, schedule] {
      {
        std::lock_guard lock(mutex_);
        // A check under way schedules the next when it ends.
        if (schedule != schedule_ || state_ != State::idle || feedURL_.empty()) return;
      }
      checkForUpdatesInBackground();
    });
  }

  std::optional<LoadedModule> loaded_;  // main thread
  std::unique_ptr<Updater> checking_;   // main thread; of loaded_
  const std::chrono::milliseconds interval_;

  std::mutex mutex_;
  // Guarded by mutex_.
  UpdaterDelegate* delegate_ = nullptr;
  bool automaticChecks_ = false;
  bool automaticDownloads_ = false;
  std::string feedURL_;
  State state_ = State::idle;
  unsigned schedule_ = 0;
};

OnDemandUpdater* onDemand = nullptr;  // main thread; for the life of the process

Updater& sharedOnDemand() { return *onDemand; }
bool isURLOnDemand(const std::string& text) { return onDemand->isURL(text); }

const UpdaterModule* start() {
  std::optional<LoadedModule> first = load();
  if (!first) return nullptr;
  onDemand = new OnDemandUpdater(std::move(*first));
  static const UpdaterModule module{&sharedOnDemand, &isURLOnDemand};
  return &module;
}

}  // namespace

const UpdaterModule* loadUpdaterModule() {
  static const UpdaterModule* module = start();
  return module;
}

}  // namespace kavri
