#include <sys/stat.h>
#include <uv.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/font_set_notifier.h"
#include "platform/fontconfig_faces.h"
#include "platform/uv_main_loop.h"

namespace kavri {
namespace {

using Clock = std::chrono::steady_clock;

// Installers copy, unpack and rewrite in bursts; one reload after the burst
// is enough. A burst that never ends still gets a reload every so often.
constexpr auto kQuietPeriod = std::chrono::milliseconds(500);
constexpr auto kLongestWait = std::chrono::seconds(10);

class InotifyFontSetNotifier;

std::function<void(bool)>& reloadHook() {
  static std::function<void(bool)> hook;
  return hook;
}

// One inotify watch (through libuv). Heap-allocated: libuv owns it until its
// close callback has run.
struct Watch {
  uv_fs_event_t handle;
  InotifyFontSetNotifier* owner;
  WatchedDirectory dir;
  std::pair<dev_t, ino_t> identity;  // of the directory watched
};

// Which directory a path names now; {0, 0} when none.
std::pair<dev_t, ino_t> identityOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {0, 0};
  return {st.st_dev, st.st_ino};
}

class InotifyFontSetNotifier : public FontSetNotifier {
 public:
  InotifyFontSetNotifier() : loop_(mainUvLoop()), last_(currentFontconfigSet()) {
    uv_timer_init(loop_, &settle_);
    settle_.data = this;
    if (last_) syncWatches(last_->watchDirectories());
  }

  // Never destroyed (see shared()): libuv holds on to its handles.

  void addObserver(std::function<void()> onChange) override {
    observers_.push_back(std::move(onChange));
  }

  void changed(const WatchedDirectory& dir, const char* name) {
    if (!dir.onlyNames.empty() && (!name || !dir.onlyNames.count(name))) return;
    changedDirs_.insert(dir.path);
    configurationChanged_ |= dir.configuration;
    Clock::time_point now = Clock::now();
    if (!burstStart_) burstStart_ = now;
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - *burstStart_);
    auto delay = std::clamp(kLongestWait - waited, std::chrono::milliseconds(0),
                            std::chrono::milliseconds(kQuietPeriod));
    startTimerFromNow(
        &settle_,
        [](uv_timer_t* timer) { static_cast<InotifyFontSetNotifier*>(timer->data)->settled(); },
        delay);
  }

 private:
  void settled() {
    burstStart_.reset();
    std::vector<std::string> stale(changedDirs_.begin(), changedDirs_.end());
    changedDirs_.clear();
    bool reloadConfiguration = configurationChanged_;
    configurationChanged_ = false;
    std::shared_ptr<const FontconfigSet> fresh =
        FontconfigSet::load(last_.get(), stale, reloadConfiguration);
    if (!fresh) return;
    bool differs = !last_ || fresh->faces() != last_->faces();
    std::vector<WatchedDirectory> dirs = fresh->watchDirectories();
    if (differs) {
      last_ = fresh;
      setCurrentFontconfigSet(fresh);
    }
    fresh.reset();
    // Files may have landed in a new directory before its watch existed;
    // one more look after the watches are in place catches them.
    std::vector<std::string> added = syncWatches(dirs);
    for (const std::string& dir : added) {
      changedDirs_.insert(dir);
      if (!burstStart_) burstStart_ = Clock::now();
      startTimerFromNow(
          &settle_,
          [](uv_timer_t* timer) { static_cast<InotifyFontSetNotifier*>(timer->data)->settled(); },
          kQuietPeriod);
    }
    if (differs) {
      for (const auto& observer : observers_) observer();
    }
    if (reloadHook()) reloadHook()(differs);
  }

  // Makes the watches match `dirs`; returns the paths newly watched.
  std::vector<std::string> syncWatches(const std::vector<WatchedDirectory>& dirs) {
    std::map<std::string, const WatchedDirectory*> wanted;
    for (const WatchedDirectory& dir : dirs) wanted[dir.path] = &dir;
    for (auto it = watches_.begin(); it != watches_.end();) {
      auto want = wanted.find(it->first);
      // A directory replaced by another of the same name needs a new watch:
      // the old one follows the old directory.
      if (want == wanted.end() || identityOf(it->first) != it->second->identity) {
        close(it->second);
        it = watches_.erase(it);
      } else {
        it->second->dir = *want->second;  // its filter may have changed
        ++it;
      }
    }
    std::vector<std::string> added;
    for (const WatchedDirectory& dir : dirs) {
      if (watches_.count(dir.path)) continue;
      auto* watch = new Watch{{}, this, dir, identityOf(dir.path)};
      uv_fs_event_init(loop_, &watch->handle);
      watch->handle.data = watch;
      int rc = uv_fs_event_start(
          &watch->handle,
          [](uv_fs_event_t* handle, const char* name, int, int status) {
            auto* w = static_cast<Watch*>(handle->data);
            if (status == 0) w->owner->changed(w->dir, name);
          },
          dir.path.c_str(), 0);
      if (rc != 0) {
        // Unreadable or vanished meanwhile: the parent's watch sees it return.
        close(watch);
        continue;
      }
      watches_.emplace(dir.path, watch);
      added.push_back(dir.path);
    }
    if (!initialised_) {
      initialised_ = true;
      added.clear();
    }
    return added;
  }

  static void close(Watch* watch) {
    uv_fs_event_stop(&watch->handle);
    uv_close(reinterpret_cast<uv_handle_t*>(&watch->handle),
             [](uv_handle_t* handle) { delete static_cast<Watch*>(handle->data); });
  }

  uv_loop_t* loop_;
  uv_timer_t settle_;
  std::shared_ptr<const FontconfigSet> last_;  // the face list last reported
  std::map<std::string, Watch*> watches_;
  std::set<std::string> changedDirs_;  // since the last reload
  bool configurationChanged_ = false;  // since the last reload
  std::optional<Clock::time_point> burstStart_;
  std::vector<std::function<void()>> observers_;
  bool initialised_ = false;
};

}  // namespace

void setFontSetReloadHookForTesting(std::function<void(bool changed)> hook) {
  reloadHook() = std::move(hook);
}

FontSetNotifier::~FontSetNotifier() = default;

FontSetNotifier& FontSetNotifier::shared() {
  static FontSetNotifier* notifier = new InotifyFontSetNotifier();
  return *notifier;
}

}  // namespace kavri
