#include <errno.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
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
#include "platform/fontconfig/installed_fonts.h"
#include "platform/memory.h"
#include "platform/unique_fd.h"
#include "platform/uv_main_loop.h"

namespace kavri {
namespace {

using Clock = std::chrono::steady_clock;

// Installers copy, unpack and rewrite in bursts; one look after the burst
// is enough. A burst that never ends still gets a look every so often.
constexpr auto kQuietPeriod = std::chrono::milliseconds(500);
constexpr auto kLongestWait = std::chrono::seconds(10);

// Beyond this many entries named in one directory, it is looked at whole.
constexpr size_t kMaxNamedEntries = 1024;

// What makes a directory's entries change, file contents included (a font
// rewritten in place), and what makes the directory itself go. Writes in
// progress are not reported one by one: the file's closing is.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR | IN_EXCL_UNLINK;

std::function<void(bool, bool)>& reloadHook() {
  static std::function<void(bool, bool)> hook;
  return hook;
}

// Which directory a path names now; {0, 0} when none.
std::pair<dev_t, ino_t> identityOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {0, 0};
  return {st.st_dev, st.st_ino};
}

class InotifyFontSetNotifier : public FontSetNotifier {
 public:
  InotifyFontSetNotifier()
      : loop_(mainUvLoop()), inotify_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    uv_timer_init(loop_, &settle_);
    settle_.data = this;
    if (inotify_.valid() && uv_poll_init(loop_, &poll_, inotify_.get()) == 0) {
      poll_.data = this;
      uv_poll_start(&poll_, UV_READABLE, [](uv_poll_t* poll, int status, int) {
        if (status == 0) static_cast<InotifyFontSetNotifier*>(poll->data)->readEvents();
      });
    }
    if (InstalledFonts* fonts = sharedInstalledFonts()) syncWatches(fonts->watchDirectories());
  }

  // Never destroyed (see shared()): libuv holds on to its handles.

  void addObserver(std::function<void()> onChange) override {
    observers_.push_back(std::move(onChange));
  }

 private:
  struct Watch {
    WatchedDirectory dir;
    std::pair<dev_t, ino_t> identity;
    int descriptor;
  };

  void readEvents() {
    alignas(struct inotify_event) char buffer[64 * 1024];
    for (;;) {
      ssize_t n = read(inotify_.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        handle(*event);
      }
    }
  }

  void handle(const struct inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
      // Events were lost: every directory is looked at whole.
      everything_ = true;
      return schedule(kQuietPeriod);
    }
    auto found = byDescriptor_.find(event.wd);
    if (found == byDescriptor_.end()) return;
    std::vector<WatchedDirectory> dirs;
    for (const std::string& path : found->second) {
      if (auto watch = byPath_.find(path); watch != byPath_.end())
        dirs.push_back(watch->second.dir);
    }
    if (event.mask & IN_IGNORED) {
      // The directory went, and its watch with it; the next sync watches
      // whatever comes in its place.
      for (const WatchedDirectory& dir : dirs) byPath_.erase(dir.path);
      byDescriptor_.erase(found);
    }
    std::string name = event.len ? std::string(event.name) : std::string();
    for (const WatchedDirectory& dir : dirs) changed(dir, name);
  }

  // An entry `name` of `dir` changed ("" for the directory itself).
  void changed(const WatchedDirectory& dir, const std::string& name) {
    bool configuration = dir.configuration;
    bool fonts = false;
    if (!configuration) {
      auto named = dir.names.find(name);
      if (named != dir.names.end()) {
        configuration = named->second;
        fonts = !named->second;
      } else if (dir.fonts || name.empty()) {
        fonts = true;
      } else {
        return;  // an entry that matters to nobody
      }
    }
    if (configuration) configurationChanged_ = true;
    if (fonts) {
      DirectoryChange& change = changes_[dir.path];
      if (!change.allEntries) {
        change.names.insert(name);
        if (change.names.size() > kMaxNamedEntries) {
          change.allEntries = true;
          change.names.clear();
        }
      }
    }
    Clock::time_point now = Clock::now();
    if (!burstStart_) burstStart_ = now;
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - *burstStart_);
    schedule(std::clamp(kLongestWait - waited, std::chrono::milliseconds(0),
                        std::chrono::milliseconds(kQuietPeriod)));
  }

  void schedule(std::chrono::milliseconds delay) {
    if (!burstStart_) burstStart_ = Clock::now();
    startTimerFromNow(
        &settle_,
        [](uv_timer_t* timer) { static_cast<InotifyFontSetNotifier*>(timer->data)->settled(); },
        delay);
  }

  bool pending() const { return uv_is_active(reinterpret_cast<const uv_handle_t*>(&settle_)) != 0; }

  void settled() {
    burstStart_.reset();
    DirectoryChanges changes = std::move(changes_);
    changes_.clear();
    bool everything = std::exchange(everything_, false);
    bool configuration = std::exchange(configurationChanged_, false);

    bool differs = false;
    InstalledFonts* fonts = sharedInstalledFontsIfLoaded();
    if (!fonts) {
      // fontconfig could not load before: whatever it loads now is news.
      fonts = sharedInstalledFonts();
      differs = fonts != nullptr;
    } else {
      InstalledFonts::Update update =
          configuration ? InstalledFonts::Update::kNeedsLoad : fonts->update(changes, everything);
      if (update == InstalledFonts::Update::kNeedsLoad) {
        std::unique_ptr<InstalledFonts> fresh = InstalledFonts::load(fonts->languages(), fonts);
        if (fresh) {
          differs = !fresh->sameFaces(*fonts);
          replaceSharedInstalledFonts(std::move(fresh));
          fonts = sharedInstalledFonts();
        }
      } else {
        differs = update == InstalledFonts::Update::kChanged;
      }
    }
    // Files may have landed in a new directory before its watch existed;
    // one more look after the watches are in place catches them.
    if (fonts) {
      for (const WatchedDirectory& dir : syncWatches(fonts->watchDirectories())) {
        if (dir.configuration || std::any_of(dir.names.begin(), dir.names.end(),
                                             [](const auto& name) { return name.second; })) {
          configurationChanged_ = true;
        }
        if (dir.fonts) changes_[dir.path].allEntries = true;
        schedule(kQuietPeriod);
      }
    }
    if (differs) {
      for (const auto& observer : observers_) observer();
    }
    returnFreeMemory();
    if (reloadHook()) reloadHook()(differs, pending());
  }

  // Makes the watches match `dirs`; returns those newly watched.
  std::vector<WatchedDirectory> syncWatches(const std::vector<WatchedDirectory>& dirs) {
    std::map<std::string, const WatchedDirectory*> wanted;
    for (const WatchedDirectory& dir : dirs) wanted[dir.path] = &dir;
    for (auto it = byPath_.begin(); it != byPath_.end();) {
      auto want = wanted.find(it->first);
      // A directory replaced by another of the same name needs a new watch:
      // the old one follows the old directory.
      if (want == wanted.end() || identityOf(it->first) != it->second.identity) {
        unwatch(it->first, it->second.descriptor);
        it = byPath_.erase(it);
      } else {
        it->second.dir = *want->second;  // what matters in it may have changed
        ++it;
      }
    }
    std::vector<WatchedDirectory> added;
    if (!inotify_.valid()) return added;
    for (const WatchedDirectory& dir : dirs) {
      if (byPath_.count(dir.path)) continue;
      std::pair<dev_t, ino_t> identity = identityOf(dir.path);
      int descriptor = inotify_add_watch(inotify_.get(), dir.path.c_str(), kWatchMask);
      // Unreadable or vanished meanwhile: the parent's watch sees it return.
      if (descriptor < 0) continue;
      byPath_[dir.path] = Watch{dir, identity, descriptor};
      std::vector<std::string>& paths = byDescriptor_[descriptor];
      if (std::find(paths.begin(), paths.end(), dir.path) == paths.end()) paths.push_back(dir.path);
      added.push_back(dir);
    }
    if (!initialised_) {
      initialised_ = true;
      added.clear();
    }
    return added;
  }

  // Stops watching `path`; the directory's watch ends with the last path
  // that leads to it.
  void unwatch(const std::string& path, int descriptor) {
    auto it = byDescriptor_.find(descriptor);
    if (it == byDescriptor_.end()) return;
    std::vector<std::string>& paths = it->second;
    paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
    if (paths.empty()) {
      inotify_rm_watch(inotify_.get(), descriptor);
      byDescriptor_.erase(it);
    }
  }

  uv_loop_t* loop_;
  UniqueFd inotify_;
  uv_poll_t poll_;
  uv_timer_t settle_;
  std::map<std::string, Watch> byPath_;
  std::map<int, std::vector<std::string>> byDescriptor_;  // paths leading to one directory
  DirectoryChanges changes_;                              // since the last look
  bool everything_ = false;                               // events were lost since the last look
  bool configurationChanged_ = false;                     // since the last look
  std::optional<Clock::time_point> burstStart_;
  std::vector<std::function<void()>> observers_;
  bool initialised_ = false;
};

}  // namespace

void setFontSetReloadHookForTesting(std::function<void(bool changed, bool morePending)> hook) {
  reloadHook() = std::move(hook);
}

FontSetNotifier::~FontSetNotifier() = default;

FontSetNotifier& FontSetNotifier::shared() {
  static FontSetNotifier* notifier = new InotifyFontSetNotifier();
  return *notifier;
}

}  // namespace kavri
