#ifndef KAVRI_SERVER_OUTPUT_READER_H_
#define KAVRI_SERVER_OUTPUT_READER_H_

#include <functional>
#include <string_view>

#include "server/line_reader.h"

namespace kavri {

// Acts on the server's standard output. Each complete line is compared,
// byte for byte, with the one command the agent knows, "CHECK FOR UPDATES":
// no trimming, no case folding, so a line that ends in a carriage return or
// is not UTF-8 matches nothing. A recognised line calls `checkForUpdates`
// on the calling thread (the agent asks its updater, once started, for a
// background check; earlier requests are dropped, not remembered).
// Every other line is ignored; over-long lines are dropped (LineReader) and
// logged.
//
// Feed it from one thread, one chunk at a time (the platform's pipe reader
// does).
class OutputReader : private LineReader::Reporter {
 public:
  explicit OutputReader(std::function<void()> checkForUpdates);
  OutputReader(const OutputReader&) = delete;
  OutputReader& operator=(const OutputReader&) = delete;

  // Feeds the next chunk read from the server.
  void consume(std::string_view chunk) { lines_.append(chunk); }

  size_t bufferedBytes() const { return lines_.bufferedBytes(); }

 private:
  void actOnLine(std::string_view line);
  void lineDropped(size_t bytes) override;

  std::function<void()> checkForUpdates_;
  LineReader lines_;  // the line buffer; only the reading thread touches it
};

}  // namespace kavri

#endif  // KAVRI_SERVER_OUTPUT_READER_H_
