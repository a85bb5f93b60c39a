#ifndef KAVRI_BENCH_RECORDED_LINES_H_
#define KAVRI_BENCH_RECORDED_LINES_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kavri::bench {

// What the recording server (tests/e2e/recording_server.js) receives, timed
// line by line as it arrives. The server appends every chunk it reads to
// DIR/stdin; here that is a FIFO drained by a thread of its own, so a
// catalogue of many megabytes never touches the disk and each line feed is
// stamped the moment the server hands it on.
class RecordedLines {
 public:
  struct Line {
    std::chrono::steady_clock::time_point arrived;
    std::chrono::system_clock::time_point arrivedWall;  // comparable with the agent's log
    size_t bytes = 0;                                   // without the line feed
    size_t faces = 0;                                   // face records in a catalogue line
  };

  // Makes the FIFO `dir`/stdin (`dir` must exist) and starts draining it.
  // Throws when the FIFO cannot be made.
  explicit RecordedLines(const std::string& dir);
  ~RecordedLines();  // stops and joins the thread
  RecordedLines(const RecordedLines&) = delete;
  RecordedLines& operator=(const RecordedLines&) = delete;

  // The `number`-th line (1 = the handshake), waiting for it up to
  // `timeout`; nullopt if it has not come by then.
  std::optional<Line> waitFor(size_t number, std::chrono::milliseconds timeout);
  size_t count();

 private:
  void drain();
  void consume(const char* data, size_t size);

  int fifo_ = -1;  // read and write ends at once: no end of file between writers
  int stop_[2] = {-1, -1};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Line> lines_;  // guarded by mutex_
  // The line being received; touched by the drain thread only.
  size_t partialBytes_ = 0;
  size_t partialFaces_ = 0;
  std::string carry_;  // tail of the last chunk, for a key split across chunks
  std::thread thread_;
};

}  // namespace kavri::bench

#endif  // KAVRI_BENCH_RECORDED_LINES_H_
