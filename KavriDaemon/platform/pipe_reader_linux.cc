#include "platform/pipe_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

namespace kavri {
namespace {

// Large enough that a busy server costs few wake-ups, small enough to stay
// in cache.
constexpr size_t kChunkBytes = 64 * 1024;

class LinuxPipeReader : public PipeReader {
 public:
  LinuxPipeReader(UniqueFd readEnd, Pipe wake, std::function<void(std::string_view)> onChunk)
      : readEnd_(std::move(readEnd)), wake_(std::move(wake)), onChunk_(std::move(onChunk)) {}

  ~LinuxPipeReader() override {
    if (thread_.joinable()) {
      char byte = 1;
      while (write(wake_.writeEnd.get(), &byte, 1) < 0 && errno == EINTR) {
      }
      thread_.join();
    }
  }

  bool startThread(std::string* err) {
    try {
      thread_ = std::thread(&LinuxPipeReader::run, this);
    } catch (const std::system_error& e) {
      if (err) *err = std::string("cannot start the reading thread: ") + e.what();
      return false;
    }
    return true;
  }

 private:
  void run() {
    std::vector<char> buffer(kChunkBytes);
    struct pollfd fds[2] = {{readEnd_.get(), POLLIN, 0}, {wake_.readEnd.get(), POLLIN, 0}};
    for (;;) {
      int ready = poll(fds, 2, -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      if (!fds[0].revents) continue;
      ssize_t n = read(readEnd_.get(), buffer.data(), buffer.size());
      if (n > 0) {
        onChunk_(std::string_view(buffer.data(), static_cast<size_t>(n)));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        return;
      }
    }
  }

  UniqueFd readEnd_;
  Pipe wake_;  // a byte on it asks the thread to stop
  std::function<void(std::string_view)> onChunk_;
  std::thread thread_;  // owned; joined by the destructor
};

}  // namespace

std::unique_ptr<PipeReader> PipeReader::start(UniqueFd readEnd,
                                              std::function<void(std::string_view chunk)> onChunk,
                                              std::string* err) {
  Pipe wake;
  if (!createPipe(&wake, err)) return nullptr;
  auto reader = std::make_unique<LinuxPipeReader>(std::move(readEnd), std::move(wake), std::move(onChunk));
  if (!reader->startThread(err)) return nullptr;
  return reader;
}

}  // namespace kavri
