#include "platform/fontconfig/font_links.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fontconfig/mount_table.h"

namespace kavri {
namespace {

// Where the link `name` in `dir` points, resolved; empty when it is no link.
std::string targetOf(int dirFd, const std::string& dir, const char* name) {
  char buffer[4096];
  ssize_t n = readlinkat(dirFd, name, buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return {};
  std::string target(buffer, static_cast<size_t>(n));
  return resolvedPath(target[0] == '/' ? target : dir + "/" + target);
}

}  // namespace

void FontLinks::readFolder(const std::string& dir) {
  targets_.erase(dir);
  DIR* entries = opendir(dir.c_str());
  if (!entries) return;
  std::map<std::string, std::string> links;
  while (struct dirent* entry = readdir(entries)) {
    if (entry->d_name[0] == '.') continue;
    // Where the file system does not say, the link's own status does.
    struct stat st;
    bool link = entry->d_type == DT_LNK ||
                (entry->d_type == DT_UNKNOWN &&
                 fstatat(dirfd(entries), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                 S_ISLNK(st.st_mode));
    if (!link) continue;
    std::string target = targetOf(dirfd(entries), dir, entry->d_name);
    if (!target.empty()) links[entry->d_name] = std::move(target);
  }
  closedir(entries);
  if (!links.empty()) targets_[dir] = std::move(links);
}

void FontLinks::readEntry(const std::string& dir, const std::string& name) {
  if (name.empty()) return readFolder(dir);
  std::string target = targetOf(AT_FDCWD, dir, (dir + "/" + name).c_str());
  if (!target.empty()) {
    targets_[dir][name] = std::move(target);
    return;
  }
  auto folder = targets_.find(dir);
  if (folder == targets_.end()) return;
  folder->second.erase(name);
  if (folder->second.empty()) targets_.erase(folder);
}

void FontLinks::forget(const std::string& dir) { targets_.erase(dir); }

void FontLinks::forEachMeeting(
    std::string_view path,
    const std::function<void(const std::string& dir, const std::string& name)>& found) const {
  for (const auto& [dir, links] : targets_) {
    for (const auto& [name, target] : links) {
      if (pathsMeet(path, target)) found(dir, name);
    }
  }
}

}  // namespace kavri
