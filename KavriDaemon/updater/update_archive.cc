#include "updater/update_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace kavri {
namespace {

constexpr size_t kMaxDepth = 64;
constexpr size_t kBufferBytes = 64 * 1024;
// Whatever the archive stores, no one but the owner may change the agent.
constexpr mode_t kNeverWritableByOthers = S_IWGRP | S_IWOTH;

using ArchiveHandle = std::unique_ptr<archive, decltype(&archive_read_free)>;

bool setError(std::string* err, const std::string& why) {
  if (err) *err = why;
  return false;
}

bool systemError(std::string* err, const std::string& what) {
  return setError(err, what + ": " + strerror(errno));
}

// The components of a member name, or nullopt when the name is absolute,
// climbs with "..", or is nested absurdly deep. "." and empty components
// ("./a//b/") drop out.
std::optional<std::vector<std::string>> safeComponents(std::string_view name) {
  if (name.empty() || name.front() == '/') return std::nullopt;
  std::vector<std::string> parts;
  while (!name.empty()) {
    size_t slash = name.find('/');
    std::string_view part = name.substr(0, slash);
    name = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    parts.emplace_back(part);
  }
  if (parts.size() > kMaxDepth) return std::nullopt;
  return parts;
}

// Whether a link at depth `linkDepth` (its directory's component count)
// pointing to `target` stays inside its top-level directory, reading the
// target as text. That directory is the bundle that gets installed: the
// unpack directory around it is not, so a link may not reach it. Links
// through other links are checked once all are made.
bool linkTargetStaysInside(std::string_view target, size_t linkDepth) {
  if (linkDepth == 0 || target.empty() || target.front() == '/') return false;
  long depth = static_cast<long>(linkDepth);
  while (!target.empty()) {
    size_t slash = target.find('/');
    std::string_view part = target.substr(0, slash);
    target = slash == std::string_view::npos ? std::string_view() : target.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    depth += part == ".." ? -1 : 1;
    if (depth < 1) return false;
  }
  return true;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) path += (path.empty() ? "" : "/") + part;
  return path;
}

// Opens (creating when `create`) each directory of `parts` but the last,
// never following a link.
bool openParent(int rootFd, const std::vector<std::string>& parts, bool create, UniqueFd* parent,
                std::string* err) {
  UniqueFd current(fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
  if (!current.valid()) return systemError(err, "cannot open the destination");
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (create && mkdirat(current.get(), parts[i].c_str(), 0755) != 0 && errno != EEXIST)
      return systemError(err, "cannot create " + parts[i]);
    UniqueFd next(openat(current.get(), parts[i].c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      if (errno == ELOOP || errno == ENOTDIR)
        return setError(err, "archive unsafe: " + joined(parts) + " passes through a link or file");
      return systemError(err, "cannot open " + parts[i]);
    }
    current = std::move(next);
  }
  *parent = std::move(current);
  return true;
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

class Unpacker {
 public:
  Unpacker(archive* a, int rootFd, const UnpackLimits& limits)
      : archive_(a), rootFd_(rootFd), limits_(limits) {}

  bool entry(archive_entry* e, std::string* err) {
    if (++entries_ > limits_.maxEntries)
      return setError(err, "archive unsafe: more than " + std::to_string(limits_.maxEntries) +
                               " entries");
    const char* rawName = archive_entry_pathname(e);
    std::string name = rawName ? rawName : "";
    auto parts = safeComponents(name);
    if (!parts) return setError(err, "archive unsafe: member name '" + name + "'");
    if (parts->empty()) return true;  // the archive's own top directory, "./"
    mode_t perm = archive_entry_perm(e);
    if (perm & (S_ISUID | S_ISGID))
      return setError(err, "archive unsafe: set-id bit on " + name);
    // Creation applies the umask on top.
    perm &= 0777 & ~kNeverWritableByOthers;

    UniqueFd parent;
    if (!openParent(rootFd_, *parts, true, &parent, err)) return false;
    const std::string& leaf = parts->back();

    if (const char* hardlink = archive_entry_hardlink(e)) return link(parent.get(), leaf, hardlink, err);
    switch (archive_entry_filetype(e)) {
      case AE_IFDIR:
        return directory(parent.get(), leaf, perm, name, err);
      case AE_IFREG:
        return file(parent.get(), leaf, perm, name, err);
      case AE_IFLNK:
        return symlink(parent.get(), *parts, e, err);
      default:
        return setError(err, "archive unsafe: device, fifo or socket " + name);
    }
  }

  // Links through links (a -> ".", b -> "a/../x") can leave their bundle
  // though each reads as inside; resolve each made link in the kernel,
  // confined beneath its top-level directory.
  bool checkLinks(std::string* err) {
    for (const auto& [top, rest] : links_) {
      UniqueFd topFd(openat(rootFd_, top.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!topFd.valid()) return systemError(err, "cannot open " + top);
      open_how how = {};
      how.flags = O_PATH | O_CLOEXEC;
      how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
      long fd = syscall(SYS_openat2, topFd.get(), rest.c_str(), &how, sizeof how);
      if (fd >= 0) {
        close(static_cast<int>(fd));
        continue;
      }
      if (errno == ENOSYS) return true;  // old kernel: the textual check stands
      if (errno == EXDEV || errno == ELOOP)
        return setError(err, "archive unsafe: link " + top + "/" + rest + " leads out of " + top);
    }
    return true;
  }

 private:
  bool directory(int parent, const std::string& leaf, mode_t perm, const std::string& name,
                 std::string* err) {
    // Owner access stays, so the directory's own members can be made.
    if (mkdirat(parent, leaf.c_str(), (perm | 0700) & ~kNeverWritableByOthers) == 0) return true;
    struct stat st;
    if (errno == EEXIST && fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(st.st_mode))
      return true;
    return systemError(err, "cannot create directory " + name);
  }

  bool file(int parent, const std::string& leaf, mode_t perm, const std::string& name,
            std::string* err) {
    // Made with its final mode, so the umask applies; the creating open
    // may write even to a file made read-only.
    UniqueFd out(openat(parent, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        perm));
    if (!out.valid()) {
      if (errno == EEXIST) return setError(err, "archive unsafe: duplicate member " + name);
      return systemError(err, "cannot create " + name);
    }
    std::vector<char> buffer(kBufferBytes);
    for (;;) {
      la_ssize_t n = archive_read_data(archive_, buffer.data(), buffer.size());
      if (n == 0) break;
      if (n < 0) return setError(err, "archive unreadable: " + errorText());
      uint64_t size = static_cast<uint64_t>(n);
      if (size > limits_.maxTotalBytes - totalBytes_)
        return setError(err, "archive unsafe: unpacks to more than " +
                                 std::to_string(limits_.maxTotalBytes) + " bytes");
      totalBytes_ += size;
      if (!writeAll(out.get(), buffer.data(), static_cast<size_t>(n)))
        return systemError(err, "cannot write " + name);
    }
    return true;
  }

  bool symlink(int parent, const std::vector<std::string>& parts, archive_entry* e,
               std::string* err) {
    const char* rawTarget = archive_entry_symlink(e);
    std::string target = rawTarget ? rawTarget : "";
    std::string name = joined(parts);
    if (!linkTargetStaysInside(target, parts.size() - 1))
      return setError(err, "archive unsafe: link " + name + " -> " + target + " leads out");
    if (symlinkat(target.c_str(), parent, parts.back().c_str()) != 0) {
      if (errno == EEXIST) return setError(err, "archive unsafe: duplicate member " + name);
      return systemError(err, "cannot create link " + name);
    }
    links_.emplace_back(parts.front(), joined({parts.begin() + 1, parts.end()}));
    return true;
  }

  bool link(int parent, const std::string& leaf, const char* rawTarget, std::string* err) {
    auto target = safeComponents(rawTarget);
    if (!target || target->empty())
      return setError(err, std::string("archive unsafe: hard link to '") + rawTarget + "'");
    UniqueFd targetParent;
    if (!openParent(rootFd_, *target, false, &targetParent, err)) return false;
    struct stat st;
    if (fstatat(targetParent.get(), target->back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      return setError(err, std::string("archive unsafe: hard link to '") + rawTarget +
                               "', not a file of the archive");
    if (linkat(targetParent.get(), target->back().c_str(), parent, leaf.c_str(), 0) != 0) {
      if (errno == EEXIST) return setError(err, "archive unsafe: duplicate member " + leaf);
      return systemError(err, "cannot create hard link " + leaf);
    }
    return true;
  }

  std::string errorText() {
    const char* text = archive_error_string(archive_);
    return text ? text : "unknown error";
  }

  archive* archive_;
  int rootFd_;
  const UnpackLimits& limits_;
  uint64_t entries_ = 0;
  uint64_t totalBytes_ = 0;
  std::vector<std::pair<std::string, std::string>> links_;  // top-level directory, path below it
};

}  // namespace

bool unpackArchive(int archiveFd, const std::string& destinationDir, const UnpackLimits& limits,
                   std::string* err) {
  UniqueFd root(open(destinationDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.valid()) return systemError(err, "cannot open " + destinationDir);
  if (lseek(archiveFd, 0, SEEK_SET) != 0) return systemError(err, "cannot read the archive");

  ArchiveHandle a(archive_read_new(), &archive_read_free);
  if (!a) return setError(err, "out of memory");
  archive_read_support_filter_gzip(a.get());
  archive_read_support_filter_bzip2(a.get());
  archive_read_support_filter_xz(a.get());
  archive_read_support_filter_zstd(a.get());
  archive_read_support_format_tar(a.get());
  archive_read_support_format_zip(a.get());
  if (archive_read_open_fd(a.get(), archiveFd, kBufferBytes) != ARCHIVE_OK) {
    const char* text = archive_error_string(a.get());
    return setError(err, std::string("archive unreadable: ") + (text ? text : "unknown format"));
  }
  Unpacker unpacker(a.get(), root.get(), limits);
  for (;;) {
    archive_entry* entry = nullptr;
    int status = archive_read_next_header(a.get(), &entry);
    if (status == ARCHIVE_EOF) break;
    if (status < ARCHIVE_WARN) {
      const char* text = archive_error_string(a.get());
      return setError(err, std::string("archive unreadable: ") + (text ? text : "bad header"));
    }
    if (!unpacker.entry(entry, err)) return false;
  }
  return unpacker.checkLinks(err);
}

}  // namespace kavri
