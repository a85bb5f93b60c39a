#ifndef KAVRI_SERVER_OUTPUT_READER_H_
#define KAVRI_SERVER_OUTPUT_READER_H_

#include <string_view>

#include "server/line_reader.h"

namespace kavri {

class AppDelegate;

// Acts on the server's standard output. Each complete line is compared,
// byte for byte, with the one command the agent knows, "CHECK FOR UPDATES":
// no trimming, no case folding, so a line that ends in a carriage return or
// is not UTF-8 matches nothing. A recognised line asks the delegate's
// updater for a background check, from the calling thread, once the
// updater has been started; earlier requests are dropped, not remembered.
// Every other line is ignored; over-long lines are dropped (LineReader) and
// logged.
//
// Feed it from one thread, one chunk at a time (the platform's pipe reader
// does). The delegate must outlive it; it lives for the whole process.
class OutputReader : private LineReader::Reporter {
 public:
  explicit OutputReader(AppDelegate& delegate);
  OutputReader(const OutputReader&) = delete;
  OutputReader& operator=(const OutputReader&) = delete;

  // Feeds the next chunk read from the server.
  void consume(std::string_view chunk) { lines_.append(chunk); }

  size_t bufferedBytes() const { return lines_.bufferedBytes(); }

 private:
  void actOnLine(std::string_view line);
  void lineDropped(size_t bytes) override;

  AppDelegate& delegate_;
  LineReader lines_;  // the line buffer; only the reading thread touches it
};

}  // namespace kavri

#endif  // KAVRI_SERVER_OUTPUT_READER_H_
