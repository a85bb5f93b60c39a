#ifndef KAVRI_PLATFORM_FONTCONFIG_MOUNT_TABLE_H_
#define KAVRI_PLATFORM_FONTCONFIG_MOUNT_TABLE_H_

// Linux-internal: the mount points of the agent's mount namespace, and how
// to hear that they changed. No file event announces a drive mounted in a
// font folder or taken away from under it; the mount table does.

#include <uv.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/unique_fd.h"

namespace kavri {

// One mount: the kernel's id for it and where it is mounted. Sorted by path,
// then id.
using MountPoint = std::pair<std::string, int>;

// The mount points in the text of /proc/self/mountinfo, sorted; lines that
// do not parse are left out.
std::vector<MountPoint> parseMountInfo(std::string_view text);

// The paths where `before` and `after` differ: mounts made, and mounts gone
// (both sorted). A path mounted over again counts once.
std::vector<std::string> changedMountPoints(const std::vector<MountPoint>& before,
                                            const std::vector<MountPoint>& after);

// `path` as the mount table names it, as far as it exists: symbolic links,
// "." and ".." resolved. What does not exist (yet) is kept as written below
// that, so that a drive mounted later still meets it. Empty for a relative
// path.
std::string resolvedPath(const std::string& path);

// Whether `a` and `b` are the same path or one lies below the other
// ("/media/usb" and "/media/usb/Fonts" do; "/media/usb2" does not).
bool pathsMeet(std::string_view a, std::string_view b);

// Watches the mount table through libuv: the kernel flags
// /proc/self/mountinfo (POLLPRI) when a mount is made or goes, so this adds
// no timer and no wake-up while nothing changes. Main thread only; never
// destroyed (libuv holds on to its handle).
class MountTableWatch {
 public:
  // `onChange` gets the paths where the table changed since the last look.
  // Without /proc, nothing is watched.
  MountTableWatch(uv_loop_t* loop, std::function<void(const std::vector<std::string>&)> onChange);
  MountTableWatch(const MountTableWatch&) = delete;
  MountTableWatch& operator=(const MountTableWatch&) = delete;

 private:
  std::vector<MountPoint> read();
  void changed();

  UniqueFd table_;
  uv_poll_t poll_;
  uv_check_t registered_;
  std::vector<MountPoint> mounts_;  // as last read
  std::function<void(const std::vector<std::string>&)> onChange_;
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_FONTCONFIG_MOUNT_TABLE_H_
