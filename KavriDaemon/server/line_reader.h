#ifndef KAVRI_SERVER_LINE_READER_H_
#define KAVRI_SERVER_LINE_READER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kavri {

// Frames a byte stream into lines ended by a line feed (0x0A) alone; a
// carriage return is part of the line. Bytes after the last line feed wait
// for the next chunk and are never handed over if the stream ends there.
//
// The buffer is bounded: a line longer than the limit is dropped, all of
// it up to and including its line feed, and reported; the line after it is
// read normally. So a server that floods its output costs at most the limit
// in memory.
//
// Not thread-safe: feed it from one thread, one chunk at a time (the output
// reader's thread).
class LineReader {
 public:
  static constexpr size_t kMaxLineBytes = 64 * 1024;

  // Told about every over-long line that was dropped.
  class Reporter {
   public:
    virtual ~Reporter() = default;
    // `bytes` counts the dropped line without its line feed.
    virtual void lineDropped(size_t bytes) = 0;
  };

  // `onLine` receives each complete line without its line feed; the view
  // is valid only during the call. `reporter` may be null; it must outlive
  // the reader.
  explicit LineReader(std::function<void(std::string_view line)> onLine, Reporter* reporter = nullptr,
                      size_t maxLineBytes = kMaxLineBytes);

  // Feeds the next chunk of the stream.
  void append(std::string_view chunk);

  // Bytes held for an unfinished line (at most the limit).
  size_t bufferedBytes() const { return buffer_.size(); }

 private:
  std::function<void(std::string_view)> onLine_;
  Reporter* reporter_;
  size_t maxLineBytes_;
  std::string buffer_;       // the unfinished line, while it fits
  bool discarding_ = false;  // inside an over-long line, waiting for its end
  size_t discarded_ = 0;     // bytes of that line dropped so far
};

}  // namespace kavri

#endif  // KAVRI_SERVER_LINE_READER_H_
