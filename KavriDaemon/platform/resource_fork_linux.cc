#include "platform/resource_fork.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/apple_double.h"
#include "platform/file_reader.h"
#include "platform/unique_fd.h"

namespace kavri {
namespace {

constexpr char kResourceForkName[] = "com.apple.ResourceFork";
constexpr char kResourceForkAttribute[] = "user.com.apple.ResourceFork";

// Opens a regular file read-only. Never blocks on a FIFO or device, and
// refuses a final link when `noFollow`.
UniqueFd openRegularFile(int dirFd, const std::string& path, bool noFollow, struct stat* st) {
  int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (noFollow ? O_NOFOLLOW : 0);
  int fd;
  do {
    fd = openat(dirFd, path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  UniqueFd file(fd);
  if (!file.valid() || fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) return UniqueFd();
  return file;
}

// A fork that is a byte range of an open file: a sidecar's fork entry, or the
// whole of the hfs driver's rsrc file.
class FileRangeFork : public OpenFork {
 public:
  FileRangeFork(UniqueFd file, uint64_t offset, uint64_t length)
      : file_(std::move(file)), offset_(offset), length_(length) {}

  bool length(int64_t* bytes) override {
    if (length_ > static_cast<uint64_t>(INT64_MAX)) return false;
    *bytes = static_cast<int64_t>(length_);
    return true;
  }

  bool readFromStart(void* buffer, int64_t count, int64_t* bytesRead) override {
    if (count < 0) return false;
    uint64_t wanted = std::min(static_cast<uint64_t>(count), length_);
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint64_t done = 0;
    while (done < wanted) {
      uint64_t position = offset_ + done;
      if (position > static_cast<uint64_t>(INT64_MAX)) return false;
      size_t chunk = static_cast<size_t>(std::min<uint64_t>(wanted - done, 1 << 30));
      ssize_t n = pread(file_.get(), out + done, chunk, static_cast<off_t>(position));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      done += static_cast<uint64_t>(n);
    }
    *bytesRead = static_cast<int64_t>(done);
    return true;
  }

 private:
  UniqueFd file_;
  uint64_t offset_;
  uint64_t length_;
};

// A fork held whole in memory: the extended attribute's value.
class MemoryFork : public OpenFork {
 public:
  explicit MemoryFork(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  bool length(int64_t* bytes) override {
    *bytes = static_cast<int64_t>(bytes_.size());
    return true;
  }

  bool readFromStart(void* buffer, int64_t count, int64_t* bytesRead) override {
    if (count < 0) return false;
    size_t n = std::min(static_cast<size_t>(count), bytes_.size());
    std::memcpy(buffer, bytes_.data(), n);
    *bytesRead = static_cast<int64_t>(n);
    return true;
  }

 private:
  std::vector<uint8_t> bytes_;
};

// An empty or placeholder fork is no fork.
std::unique_ptr<OpenFork> keepIfNotBlank(std::unique_ptr<OpenFork> fork) {
  int64_t length = 0;
  if (!fork || !fork->length(&length) || length <= 0) return nullptr;
  if (static_cast<uint64_t>(length) != kBlankResourceForkBytes) return fork;
  std::array<uint8_t, kBlankResourceForkBytes> bytes;
  int64_t got = 0;
  if (!fork->readFromStart(bytes.data(), length, &got) || got != length) return nullptr;
  return isBlankResourceFork(bytes) ? nullptr : std::move(fork);
}

std::unique_ptr<OpenFork> openSidecarFork(int dirFd, const std::string& name) {
  struct stat st;
  auto sidecar = openRegularFile(dirFd, "._" + name, /*noFollow=*/true, &st);
  if (!sidecar.valid()) return nullptr;
  int fd = sidecar.get();
  auto extent = findAppleDoubleResourceFork(static_cast<uint64_t>(st.st_size),
                                            [fd](uint64_t offset, std::span<uint8_t> into) {
                                              return readFullyAt(fd, offset, into);
                                            });
  if (!extent) return nullptr;
  return std::make_unique<FileRangeFork>(std::move(sidecar), extent->offset, extent->length);
}

std::unique_ptr<OpenFork> openHfsResourceView(const std::string& path) {
  struct stat st;
  auto file = openRegularFile(AT_FDCWD, path + "/rsrc", /*noFollow=*/false, &st);
  if (!file.valid()) return nullptr;
  return std::make_unique<FileRangeFork>(std::move(file), 0, static_cast<uint64_t>(st.st_size));
}

std::unique_ptr<OpenFork> openAttributeFork(const std::string& path) {
  // The value may change between asking its size and reading it; a few
  // tries settle that, and the kernel bounds the size (64 KiB).
  for (int attempt = 0; attempt < 4; ++attempt) {
    ssize_t size = getxattr(path.c_str(), kResourceForkAttribute, nullptr, 0);
    if (size <= 0) return nullptr;
    std::vector<uint8_t> value(static_cast<size_t>(size));
    ssize_t got = getxattr(path.c_str(), kResourceForkAttribute, value.data(), value.size());
    if (got < 0 && errno == ERANGE) continue;
    if (got <= 0) return nullptr;
    value.resize(static_cast<size_t>(got));
    return std::make_unique<MemoryFork>(std::move(value));
  }
  return nullptr;
}

class LinuxResourceForks : public ResourceForks {
 public:
  bool resourceForkName(std::string* name) override {
    *name = kResourceForkName;
    return true;
  }

  std::optional<FileReference> resolvePath(const char* path) override {
    if (!path) return std::nullopt;
    std::unique_ptr<char, decltype(&free)> resolved(realpath(path, nullptr), &free);
    if (!resolved) return std::nullopt;
    return FileReference{resolved.get()};
  }

  std::unique_ptr<OpenFork> openFork(const FileReference& file, const std::string& forkName) override {
    if (forkName != kResourceForkName) return nullptr;
    const std::string& path = file.path;
    // Directories have no resource fork, whatever lies inside or beside them.
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return nullptr;
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash + 1 == path.size()) return nullptr;
    std::string directory = slash == 0 ? "/" : path.substr(0, slash);
    std::string name = path.substr(slash + 1);

    UniqueFd dir(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) {
      if (auto fork = keepIfNotBlank(openSidecarFork(dir.get(), name))) return fork;
    }
    if (auto fork = keepIfNotBlank(openHfsResourceView(path))) return fork;
    return keepIfNotBlank(openAttributeFork(path));
  }
};

}  // namespace

ResourceForks& ResourceForks::shared() {
  static LinuxResourceForks forks;
  return forks;
}

}  // namespace kavri
