#include "platform/standard_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

namespace kavri {

bool writeAllToStandardOutput(const void* bytes, size_t size) {
  signal(SIGPIPE, SIG_IGN);
  const char* next = static_cast<const char*>(bytes);
  size_t left = size;
  while (left > 0) {
    ssize_t n = write(STDOUT_FILENO, next, std::min<size_t>(left, 1 << 30));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    next += n;
    left -= static_cast<size_t>(n);
  }
  // A file system may report a full disk or a lost server only when the data
  // is flushed; a caller reading the file afterwards must not get a short one.
  struct stat st;
  if (fstat(STDOUT_FILENO, &st) != 0) return false;
  if (S_ISREG(st.st_mode)) {
    int rc;
    do {
      rc = fdatasync(STDOUT_FILENO);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno != EINVAL) return false;
  }
  return true;
}

}  // namespace kavri
