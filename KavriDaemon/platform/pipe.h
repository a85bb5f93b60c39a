#ifndef KAVRI_PLATFORM_PIPE_H_
#define KAVRI_PLATFORM_PIPE_H_

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace kavri {

// The two ends of a pipe, both close-on-exec.
struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

// Makes a pipe. False, with the reason in `err`, when the system refuses.
bool createPipe(Pipe* pipe, std::string* err);

// One write(2) of `bytes` to `fd`: the count written, or -1 with errno set.
// Blocks as the descriptor does; EINTR is passed back to the caller, who
// decides what an interrupted write means.
ssize_t writeSome(int fd, std::string_view bytes);

}  // namespace kavri

#endif  // KAVRI_PLATFORM_PIPE_H_
