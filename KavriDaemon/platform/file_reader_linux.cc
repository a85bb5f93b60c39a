#include "platform/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/unique_fd.h"

namespace kavri {
namespace {

// Big enough to keep the per-call overhead out of a digest's running time,
// small enough to stay in the second-level cache.
constexpr size_t kChunkBytes = 256 * 1024;

bool fail(std::string* err, const std::string& path, const char* what) {
  if (err) *err = path + ": " + what + ": " + strerror(errno);
  return false;
}

}  // namespace

bool readFileInChunks(const std::string& path,
                      const std::function<bool(const unsigned char* data, size_t size)>& onChunk,
                      std::string* err) {
  // O_NONBLOCK: a FIFO put in the file's place must not hang the open.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return fail(err, path, "open");
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return fail(err, path, "fstat");
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return fail(err, path, "not a regular file");
  }
  posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunkBytes]);
  for (;;) {
    ssize_t n = read(fd.get(), buffer.get(), kChunkBytes);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(err, path, "read");
    }
    if (n == 0) return true;
    if (!onChunk(buffer.get(), static_cast<size_t>(n))) {
      if (err) *err = path + ": reading stopped";
      return false;
    }
  }
}

bool readFullyAt(int fd, uint64_t offset, std::span<uint8_t> into) {
  size_t done = 0;
  while (done < into.size()) {
    if (offset + done > static_cast<uint64_t>(INT64_MAX)) return false;
    ssize_t n = pread(fd, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace kavri
