#ifndef KAVRI_PLATFORM_PIPE_READER_H_
#define KAVRI_PLATFORM_PIPE_READER_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/pipe.h"

namespace kavri {

// A thread of its own that blocks reading one descriptor (the read end of a
// pipe) and hands each chunk it reads to a handler, one call at a time, in
// order, until the writers are gone or a read fails. The handler runs on
// that thread; the chunk is valid only during the call.
class PipeReader {
 public:
  // Destruction stops the thread, even if the writers never close, waiting
  // for a handler call in progress to return, then closes the descriptor.
  // Never destroy it from inside the handler.
  virtual ~PipeReader() = default;

  // Takes ownership of `readEnd`. Returns nullptr, with the reason in
  // `err`, when the thread cannot be started.
  static std::unique_ptr<PipeReader> start(UniqueFd readEnd,
                                           std::function<void(std::string_view chunk)> onChunk,
                                           std::string* err);
};

}  // namespace kavri

#endif  // KAVRI_PLATFORM_PIPE_READER_H_
