'use strict';
// The agent's pipe is a stream of lines of any size: the handshake, then
// catalogues.

// Frames a byte stream into lines ended by LF. A line longer than
// maxLineBytes is dropped whole (through onDrop) and framing resumes after its
// LF, so one oversize message never costs the ones after it. Each line is
// copied as it comes into a buffer of the limit's size: the system backs only
// the pages written, so a line of megabytes costs its size once, not again in
// the chunks it came in and their joining.
class LineReader {
  constructor(maxLineBytes, onLine, onDrop) {
    this.maxLineBytes = maxLineBytes;
    this.onLine_ = onLine;
    this.onDrop_ = onDrop;
    this.line_ = null;
    this.size_ = 0;
    this.oversize_ = false;
  }

  push(chunk) {
    let start = 0;
    while (start < chunk.length) {
      const lf = chunk.indexOf(0x0a, start);
      const end = lf === -1 ? chunk.length : lf;
      this.append_(chunk.subarray(start, end));
      if (lf === -1) return;
      start = lf + 1;
      this.finishLine_();
    }
  }

  // Input ended: an unfinished line is never acted on.
  end() {
    if (this.size_ > 0 || this.oversize_) {
      this.onDrop_(`unfinished line of ${this.size_} bytes at the end of input`, this.size_);
    }
    this.reset_();
  }

  append_(piece) {
    const at = this.size_;
    this.size_ += piece.length;
    if (this.oversize_ || piece.length === 0) return;
    if (this.size_ > this.maxLineBytes) {
      this.oversize_ = true;
      this.line_ = null;
      return;
    }
    if (!this.line_ || this.line_.length < this.size_) {
      // Unfilled: the pages beyond the line are never touched.
      const line = Buffer.allocUnsafeSlow(this.maxLineBytes);
      if (this.line_) this.line_.copy(line, 0, 0, at);
      this.line_ = line;
    }
    piece.copy(this.line_, at);
  }

  finishLine_() {
    const size = this.size_;
    const line = this.line_;
    const oversize = this.oversize_;
    this.reset_();
    if (oversize) {
      this.onDrop_(`line of ${size} bytes is over the limit of ${this.maxLineBytes}`, size);
    } else {
      this.onLine_(line ? line.subarray(0, size) : Buffer.alloc(0));
    }
  }

  reset_() {
    this.line_ = null;
    this.size_ = 0;
    this.oversize_ = false;
  }
}

module.exports = {LineReader};
