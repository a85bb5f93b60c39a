#include "platform/pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kavri {

bool createPipe(Pipe* pipe, std::string* err) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    if (err) *err = std::string("pipe2: ") + strerror(errno);
    return false;
  }
  pipe->readEnd.reset(fds[0]);
  pipe->writeEnd.reset(fds[1]);
  return true;
}

ssize_t writeSome(int fd, std::string_view bytes) { return ::write(fd, bytes.data(), bytes.size()); }

}  // namespace kavri
