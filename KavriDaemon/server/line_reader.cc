#include "server/line_reader.h"

namespace kavri {

LineReader::LineReader(std::function<void(std::string_view line)> onLine, Reporter* reporter,
                       size_t maxLineBytes)
    : onLine_(std::move(onLine)), reporter_(reporter), maxLineBytes_(maxLineBytes) {}

void LineReader::append(std::string_view chunk) {
  while (!chunk.empty()) {
    size_t feed = chunk.find('\n');
    std::string_view piece = chunk.substr(0, feed);
    if (discarding_) {
      discarded_ += piece.size();
    } else if (buffer_.size() + piece.size() > maxLineBytes_) {
      discarding_ = true;
      discarded_ = buffer_.size() + piece.size();
      buffer_.clear();
      buffer_.shrink_to_fit();
    } else if (feed != std::string_view::npos && buffer_.empty()) {
      onLine_(piece);  // the common case: a whole line inside one chunk, no copy
    } else {
      buffer_.append(piece);
      if (feed != std::string_view::npos) {
        onLine_(buffer_);
        buffer_.clear();
      }
    }
    if (feed == std::string_view::npos) return;
    if (discarding_) {
      if (reporter_) reporter_->lineDropped(discarded_);
      discarding_ = false;
      discarded_ = 0;
    }
    chunk.remove_prefix(feed + 1);
  }
}

}  // namespace kavri
