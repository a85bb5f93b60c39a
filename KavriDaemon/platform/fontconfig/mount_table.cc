#include "platform/fontconfig/mount_table.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace kavri {
namespace {

// A table this large is no mount table a machine has; what lies beyond is
// not read.
constexpr size_t kMaxTableBytes = 64 << 20;

// The kernel writes a space, tab, line feed or backslash in a path as
// three octal digits after a backslash.
std::string unescape(std::string_view field) {
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string path;
  path.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 4 <= field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
        octal(field[i + 3])) {
      path.push_back(static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                                       (field[i + 3] - '0')));
      i += 3;
    } else {
      path.push_back(field[i]);
    }
  }
  return path;
}

}  // namespace

std::vector<MountPoint> parseMountInfo(std::string_view text) {
  std::vector<MountPoint> mounts;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    // "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT ...": the first and the fifth.
    std::string_view fields[5];
    size_t found = 0;
    for (size_t at = 0; found < 5 && at < line.size();) {
      size_t space = line.find(' ', at);
      if (space == std::string_view::npos) space = line.size();
      fields[found++] = line.substr(at, space - at);
      at = space + 1;
    }
    if (found < 5 || fields[0].empty() || fields[4].empty() || fields[4][0] != '/') continue;
    int id = 0;
    bool digits = fields[0].size() < 10 && std::all_of(fields[0].begin(), fields[0].end(),
                                                       [](char c) { return c >= '0' && c <= '9'; });
    if (!digits) continue;
    for (char c : fields[0]) id = id * 10 + (c - '0');
    mounts.emplace_back(unescape(fields[4]), id);
  }
  std::sort(mounts.begin(), mounts.end());
  return mounts;
}

std::vector<std::string> changedMountPoints(const std::vector<MountPoint>& before,
                                            const std::vector<MountPoint>& after) {
  std::vector<MountPoint> differ;
  std::set_symmetric_difference(before.begin(), before.end(), after.begin(), after.end(),
                                std::back_inserter(differ));
  std::vector<std::string> paths;
  for (MountPoint& mount : differ) {
    if (paths.empty() || paths.back() != mount.first) paths.push_back(std::move(mount.first));
  }
  return paths;
}

std::string resolvedPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return {};
  std::string missing;
  std::string existing = path;
  // Bounded: each step takes away one component.
  for (;;) {
    char* real = realpath(existing.c_str(), nullptr);
    if (real) {
      std::string resolved(real);
      free(real);
      if (missing.empty()) return resolved;
      return resolved == "/" ? missing : resolved + missing;
    }
    size_t slash = existing.find_last_of('/');
    if (slash == std::string::npos || existing == "/") return path;
    std::string_view last = std::string_view(existing).substr(slash + 1);
    if (!last.empty() && last != ".") missing.insert(0, "/" + std::string(last));
    existing.erase(slash == 0 ? 1 : slash);
  }
}

bool pathsMeet(std::string_view a, std::string_view b) {
  if (a.size() > b.size()) std::swap(a, b);
  if (b.substr(0, a.size()) != a) return false;
  return b.size() == a.size() || a == "/" || b[a.size()] == '/';
}

MountTableWatch::MountTableWatch(uv_loop_t* loop,
                                 std::function<void(const std::vector<std::string>&)> onChange)
    : table_(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)), onChange_(std::move(onChange)) {
  if (!table_.valid() || uv_poll_init(loop, &poll_, table_.get()) != 0) return;
  mounts_ = read();
  poll_.data = this;
  uv_poll_start(&poll_, UV_PRIORITIZED, [](uv_poll_t* poll, int status, int) {
    if (status == 0) static_cast<MountTableWatch*>(poll->data)->changed();
  });
  // libuv hands the table to the kernel's poll only when the loop next
  // turns, and the kernel then takes a change made since as already seen:
  // one more look right after that catches it.
  uv_check_init(loop, &registered_);
  registered_.data = this;
  uv_check_start(&registered_, [](uv_check_t* check) {
    uv_check_stop(check);
    static_cast<MountTableWatch*>(check->data)->changed();
  });
}

std::vector<MountPoint> MountTableWatch::read() {
  std::string text;
  char buffer[64 * 1024];
  for (off_t at = 0; text.size() < kMaxTableBytes;) {
    ssize_t n = pread(table_.get(), buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  return parseMountInfo(text);
}

void MountTableWatch::changed() {
  std::vector<MountPoint> now = read();
  std::vector<std::string> paths = changedMountPoints(mounts_, now);
  mounts_ = std::move(now);
  if (!paths.empty()) onChange_(paths);
}

}  // namespace kavri
