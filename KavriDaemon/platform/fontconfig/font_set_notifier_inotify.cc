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
#include "platform/fontconfig/font_links.h"
#include "platform/fontconfig/installed_fonts.h"
#include "platform/fontconfig/mount_table.h"
#include "platform/memory.h"
#include "platform/unique_fd.h"
#include "platform/uv_main_loop.h"

namespace kavri {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The kernel says when a writer is done (its close, or the rename of a
// temporary file into place): one short pause after the last such event
// gathers a burst (an archive unpacked, a folder copied) into one look.
// While a file is still being written, the look waits for a longer quiet
// spell. A burst that never ends still gets a look every so often.
constexpr milliseconds kQuickSettle{50};
constexpr milliseconds kQuietPeriod{500};
constexpr milliseconds kLongestWait{10'000};

// Beyond this many entries named in one directory, it is looked at whole.
constexpr size_t kMaxNamedEntries = 1024;

// What makes a directory's entries change, file contents included (a font
// rewritten in place), and what makes the directory itself go. A write in
// progress tells only that the file is not finished; its closing is the
// change.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR | IN_EXCL_UNLINK | IN_MASK_ADD;
// Only where fonts and configuration live: a folder watched for a missing
// one to appear may be busy with writes that matter to nobody.
constexpr uint32_t kWritesMask = IN_MODIFY;

std::function<void(bool, bool)>& reloadHook() {
  static std::function<void(bool, bool)> hook;
  return hook;
}

// The quiet period and the longest wait, which tests may stretch.
std::pair<milliseconds, milliseconds>& waits() {
  static std::pair<milliseconds, milliseconds> waits{kQuietPeriod, kLongestWait};
  return waits;
}

// Which directory a path names now; {0, 0} when none.
std::pair<dev_t, ino_t> identityOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {0, 0};
  return {st.st_dev, st.st_ino};
}

std::string parentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// Why a change of an entry (or of the directory itself) matters.
enum class Purpose { kNone, kFonts, kConfiguration };

Purpose purposeOf(const WatchedDirectory& dir, const std::string& name) {
  if (dir.configuration) return Purpose::kConfiguration;
  auto named = dir.names.find(name);
  if (named != dir.names.end()) return named->second ? Purpose::kConfiguration : Purpose::kFonts;
  if (dir.fonts || name.empty()) return Purpose::kFonts;
  return Purpose::kNone;
}

class InotifyFontSetNotifier : public FontSetNotifier {
 public:
  InotifyFontSetNotifier()
      : loop_(mainUvLoop()),
        inotify_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
        mounts_(loop_, [this](const std::vector<std::string>& points) { mountsChanged(points); }) {
    uv_timer_init(loop_, &settle_);
    settle_.data = this;
    if (inotify_.valid() && uv_poll_init(loop_, &poll_, inotify_.get()) == 0) {
      poll_.data = this;
      uv_poll_start(&poll_, UV_READABLE, [](uv_poll_t* poll, int status, int) {
        if (status == 0) static_cast<InotifyFontSetNotifier*>(poll->data)->readEvents();
      });
    }
    if (InstalledFonts* fonts = sharedInstalledFonts()) {
      syncWatches(fonts->watchDirectories());
      // The first catalogue has gone out by now.
      fonts->dropFontconfigFonts();
      returnFreeMemory();
    }
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
    std::string resolved;  // the path as the mount table names it
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
      // Events were lost: every directory is looked at whole, and no write
      // is known to be in progress.
      everything_ = true;
      writing_.clear();
      return schedule(settleDelay());
    }
    auto found = byDescriptor_.find(event.wd);
    if (found == byDescriptor_.end()) return;
    std::vector<WatchedDirectory> dirs;
    for (const std::string& path : found->second) {
      if (auto watch = byPath_.find(path); watch != byPath_.end())
        dirs.push_back(watch->second.dir);
    }
    std::string name = event.len ? std::string(event.name) : std::string();
    if (event.mask & IN_MODIFY) return writeSeen(event.wd, name, dirs);
    if (event.mask & (IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM)) {
      if (auto writes = writing_.find(event.wd); writes != writing_.end()) {
        writes->second.erase(name);
        if (writes->second.empty()) writing_.erase(writes);
      }
    }
    if (event.mask & IN_IGNORED) {
      // The directory went (or its drive), and its watch with it; the next
      // sync watches whatever comes in its place.
      for (const WatchedDirectory& dir : dirs) {
        byPath_.erase(dir.path);
        links_.forget(dir.path);
      }
      byDescriptor_.erase(found);
      writing_.erase(event.wd);
    }
    for (const WatchedDirectory& dir : dirs) changed(dir, name);
  }

  // A file is being written: it is not finished until it is closed, and a
  // look due meanwhile waits for a quiet spell.
  void writeSeen(int descriptor, const std::string& name,
                 const std::vector<WatchedDirectory>& dirs) {
    if (name.empty() || std::none_of(dirs.begin(), dirs.end(), [&](const WatchedDirectory& dir) {
          return purposeOf(dir, name) != Purpose::kNone;
        })) {
      return;
    }
    writing_[descriptor].insert(name);
    if (pending()) schedule(settleDelay());
  }

  // An entry `name` of `dir` changed ("" for the directory itself).
  void changed(const WatchedDirectory& dir, const std::string& name) {
    Purpose purpose = purposeOf(dir, name);
    if (purpose == Purpose::kNone) return;  // an entry that matters to nobody
    if (purpose == Purpose::kConfiguration) configurationChanged_ = true;
    if (purpose == Purpose::kFonts) {
      DirectoryChange& change = changes_[dir.path];
      if (!change.allEntries) {
        change.names.insert(name);
        if (change.names.size() > kMaxNamedEntries) {
          change.allEntries = true;
          change.names.clear();
        }
      }
    }
    schedule(settleDelay());
  }

  // How long to wait from now: briefly, or for a quiet spell while a file is
  // being written, but never past the longest wait since the burst began.
  milliseconds settleDelay() {
    Clock::time_point now = Clock::now();
    if (!burstStart_) burstStart_ = now;
    auto waited = std::chrono::duration_cast<milliseconds>(now - *burstStart_);
    milliseconds wanted = writing_.empty() ? kQuickSettle : waits().first;
    return std::clamp(waits().second - waited, milliseconds(0), wanted);
  }

  void schedule(milliseconds delay) {
    if (!burstStart_) burstStart_ = Clock::now();
    startTimerFromNow(
        &settle_,
        [](uv_timer_t* timer) { static_cast<InotifyFontSetNotifier*>(timer->data)->settled(); },
        delay);
  }

  bool pending() const { return uv_is_active(reinterpret_cast<const uv_handle_t*>(&settle_)) != 0; }

  // A mount made or gone at each of `points`: whatever font folder,
  // configuration or linked font lies at, above or right below one of them
  // changed, with no file event to tell.
  void mountsChanged(const std::vector<std::string>& points) {
    std::vector<std::pair<WatchedDirectory, std::string>> touched;
    for (const std::string& point : points) {
      for (const auto& [path, watch] : byPath_) {
        const std::string& resolved = watch.resolved;
        if (resolved.empty()) continue;
        if (pathsMeet(point, resolved) && point.size() <= resolved.size()) {
          touched.emplace_back(watch.dir, "");
        } else if (parentOf(point) == resolved) {
          touched.emplace_back(watch.dir, point.substr(point.find_last_of('/') + 1));
        }
        for (const auto& [name, configuration] : watch.dir.names) {
          if (pathsMeet(point, resolved == "/" ? "/" + name : resolved + "/" + name))
            touched.emplace_back(watch.dir, name);
        }
      }
      links_.forEachMeeting(point, [&](const std::string& dir, const std::string& name) {
        if (auto watch = byPath_.find(dir); watch != byPath_.end())
          touched.emplace_back(watch->second.dir, name);
      });
    }
    for (const auto& [dir, name] : touched) changed(dir, name);
  }

  void settled() {
    burstStart_.reset();
    DirectoryChanges changes = std::move(changes_);
    changes_.clear();
    bool everything = std::exchange(everything_, false);
    bool configuration = std::exchange(configurationChanged_, false);
    // Files still being written are left for the look their closing brings.
    for (const auto& [descriptor, names] : writing_) {
      for (const std::string& path : byDescriptor_[descriptor]) {
        if (auto change = changes.find(path); change != changes.end())
          change->second.writing.insert(names.begin(), names.end());
      }
    }

    bool differs = false;
    InstalledFonts* fonts = sharedInstalledFontsIfLoaded();
    if (!fonts) {
      // fontconfig could not load before: whatever it loads now is news.
      fonts = sharedInstalledFonts();
      differs = fonts != nullptr;
    } else {
      InstalledFonts::Update update = configuration ? fonts->reconfigure(changes, everything)
                                                    : fonts->update(changes, everything);
      if (update == InstalledFonts::Update::kNeedsLoad) {
        std::unique_ptr<InstalledFonts> fresh =
            InstalledFonts::load(fonts->languages(), fonts, changes, everything);
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
      followLinks(changes, everything);
    }
    if (differs) {
      for (const auto& observer : observers_) observer();
    }
    if (fonts) fonts->dropFontconfigFonts();
    returnFreeMemory();
    if (reloadHook()) reloadHook()(differs, pending());
  }

  // Brings what the font folders' links point at up to date with `changes`.
  void followLinks(const DirectoryChanges& changes, bool everything) {
    for (const auto& [path, watch] : byPath_) {
      if (!watch.dir.fonts) continue;
      auto change = changes.find(path);
      if (everything || (change != changes.end() && change->second.allEntries)) {
        links_.readFolder(path);
      } else if (change != changes.end()) {
        for (const std::string& name : change->second.names) links_.readEntry(path, name);
      }
    }
  }

  // Makes the watches match `dirs`; returns those newly watched.
  std::vector<WatchedDirectory> syncWatches(const std::vector<WatchedDirectory>& dirs) {
    std::map<std::string, const WatchedDirectory*> wanted;
    for (const WatchedDirectory& dir : dirs) wanted[dir.path] = &dir;
    for (auto it = byPath_.begin(); it != byPath_.end();) {
      auto want = wanted.find(it->first);
      // A directory replaced by another of the same name (or covered by a
      // drive mounted on it) needs a new watch: the old one follows the old
      // directory.
      if (want == wanted.end() || identityOf(it->first) != it->second.identity) {
        unwatch(it->first, it->second.descriptor);
        it = byPath_.erase(it);
      } else {
        // What matters in it may have changed.
        if (watchesWrites(*want->second) && !watchesWrites(it->second.dir)) {
          inotify_add_watch(inotify_.get(), it->first.c_str(), kWatchMask | kWritesMask);
        }
        if (want->second->fonts && !it->second.dir.fonts) links_.readFolder(it->first);
        it->second.dir = *want->second;
        ++it;
      }
    }
    std::vector<WatchedDirectory> added;
    if (!inotify_.valid()) return added;
    for (const WatchedDirectory& dir : dirs) {
      if (byPath_.count(dir.path)) continue;
      std::pair<dev_t, ino_t> identity = identityOf(dir.path);
      int descriptor = inotify_add_watch(inotify_.get(), dir.path.c_str(),
                                         kWatchMask | (watchesWrites(dir) ? kWritesMask : 0));
      // Unreadable or vanished meanwhile: the parent's watch sees it return.
      if (descriptor < 0) continue;
      byPath_[dir.path] = Watch{dir, identity, descriptor, resolvedPath(dir.path)};
      std::vector<std::string>& paths = byDescriptor_[descriptor];
      if (std::find(paths.begin(), paths.end(), dir.path) == paths.end()) paths.push_back(dir.path);
      if (dir.fonts) links_.readFolder(dir.path);
      added.push_back(dir);
    }
    if (!initialised_) {
      initialised_ = true;
      added.clear();
    }
    return added;
  }

  static bool watchesWrites(const WatchedDirectory& dir) {
    return dir.fonts || dir.configuration ||
           std::any_of(dir.names.begin(), dir.names.end(),
                       [](const auto& name) { return name.second; });
  }

  // Stops watching `path`; the directory's watch ends with the last path
  // that leads to it.
  void unwatch(const std::string& path, int descriptor) {
    links_.forget(path);
    auto it = byDescriptor_.find(descriptor);
    if (it == byDescriptor_.end()) return;
    std::vector<std::string>& paths = it->second;
    paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
    if (paths.empty()) {
      inotify_rm_watch(inotify_.get(), descriptor);
      byDescriptor_.erase(it);
      writing_.erase(descriptor);
    }
  }

  uv_loop_t* loop_;
  UniqueFd inotify_;
  uv_poll_t poll_;
  uv_timer_t settle_;
  std::map<std::string, Watch> byPath_;
  std::map<int, std::vector<std::string>> byDescriptor_;  // paths leading to one directory
  std::map<int, std::set<std::string>> writing_;           // entries written and not yet closed
  FontLinks links_;                                        // in the watched font folders
  MountTableWatch mounts_;
  DirectoryChanges changes_;       // since the last look
  bool everything_ = false;        // events were lost since the last look
  bool configurationChanged_ = false;  // since the last look
  std::optional<Clock::time_point> burstStart_;
  std::vector<std::function<void()>> observers_;
  bool initialised_ = false;
};

}  // namespace

void setFontSetReloadHookForTesting(std::function<void(bool changed, bool morePending)> hook) {
  reloadHook() = std::move(hook);
}

void setFontSetWaitsForTesting(milliseconds quiet, milliseconds longest) {
  waits() = {quiet, longest};
}

FontSetNotifier::~FontSetNotifier() = default;

FontSetNotifier& FontSetNotifier::shared() {
  static FontSetNotifier* notifier = new InotifyFontSetNotifier();
  return *notifier;
}

}  // namespace kavri
