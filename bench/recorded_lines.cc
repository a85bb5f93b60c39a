#include "recorded_lines.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace kavri::bench {
namespace {

// Every face record has this member once; inside a string the quotes would
// be escaped, so the text marks a record (file paths are the bench's own).
constexpr std::string_view kFaceKey = "\"postscript\":";

}  // namespace

RecordedLines::RecordedLines(const std::string& dir) {
  std::string path = dir + "/stdin";
  if (mkfifo(path.c_str(), 0600) != 0)
    throw std::runtime_error("mkfifo " + path + ": " + strerror(errno));
  fifo_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fifo_ < 0 || pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("cannot open " + path);
  // The default 64 KiB would make the server wait on this thread more often.
  fcntl(fifo_, F_SETPIPE_SZ, 1 << 20);
  thread_ = std::thread([this] { drain(); });
}

RecordedLines::~RecordedLines() {
  char stop = 0;
  if (write(stop_[1], &stop, 1) != 1) std::terminate();
  thread_.join();
  close(fifo_);
  close(stop_[0]);
  close(stop_[1]);
}

std::optional<RecordedLines::Line> RecordedLines::waitFor(size_t number,
                                                          std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!arrived_.wait_for(lock, timeout, [&] { return lines_.size() >= number; }))
    return std::nullopt;
  return lines_[number - 1];
}

size_t RecordedLines::count() {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

void RecordedLines::drain() {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    struct pollfd fds[2] = {{fifo_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    for (;;) {
      ssize_t n = read(fifo_, buffer.data(), buffer.size());
      if (n <= 0) break;
      consume(buffer.data(), static_cast<size_t>(n));
    }
  }
}

void RecordedLines::consume(const char* data, size_t size) {
  auto countFaces = [&](std::string_view segment) {
    std::string text = carry_ + std::string(segment);
    for (size_t at = text.find(kFaceKey); at != std::string::npos; at = text.find(kFaceKey, at + 1))
      if (at + kFaceKey.size() > carry_.size()) ++partialFaces_;
    size_t keep = std::min(text.size(), kFaceKey.size() - 1);
    carry_ = text.substr(text.size() - keep);
  };
  while (size > 0) {
    const char* newline = static_cast<const char*>(memchr(data, '\n', size));
    size_t segment = newline ? static_cast<size_t>(newline - data) : size;
    countFaces(std::string_view(data, segment));
    partialBytes_ += segment;
    if (!newline) return;
    Line line{std::chrono::steady_clock::now(), std::chrono::system_clock::now(), partialBytes_,
              partialFaces_};
    partialBytes_ = partialFaces_ = 0;
    carry_.clear();
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    }
    arrived_.notify_all();
    data += segment + 1;
    size -= segment + 1;
  }
}

}  // namespace kavri::bench
