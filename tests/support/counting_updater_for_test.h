#ifndef KAVRI_TESTS_SUPPORT_COUNTING_UPDATER_FOR_TEST_H_
#define KAVRI_TESTS_SUPPORT_COUNTING_UPDATER_FOR_TEST_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "updater/updater.h"
#include "updater/updater_module.h"

namespace kavri {

// An updater that only counts background check requests, from any thread.
// Hand `&CountingUpdater::module` to AppDelegate; there is no feed in tests,
// so startUpdater() stores it without checking.
class CountingUpdater : public Updater {
 public:
  static const UpdaterModule* module() {
    static const UpdaterModule counting{&shared, [](const std::string&) { return false; }};
    return &counting;
  }
  static Updater& shared() { return instance(); }
  static CountingUpdater& instance() {
    static CountingUpdater updater;
    return updater;
  }

  void setDelegate(UpdaterDelegate*) override {}
  void setAutomaticallyChecksForUpdates(bool) override {}
  void setAutomaticallyDownloadsUpdates(bool) override {}
  void setFeedURL(const std::string&) override {}
  void checkForUpdatesInBackground() override {
    std::lock_guard<std::mutex> lock(mu_);
    ++checks_;
    changed_.notify_all();
  }

  int checks() {
    std::lock_guard<std::mutex> lock(mu_);
    return checks_;
  }
  void reset() {
    std::lock_guard<std::mutex> lock(mu_);
    checks_ = 0;
  }
  // True once at least `count` checks were asked for; false after a generous
  // timeout.
  bool waitForChecks(int count) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return checks_ >= count; });
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  int checks_ = 0;  // guarded by mu_
};

}  // namespace kavri

#endif  // KAVRI_TESTS_SUPPORT_COUNTING_UPDATER_FOR_TEST_H_
