'use strict';
// The agent's pipe is a stream of lines of any size: the handshake, then
// catalogues.

// Frames a byte stream into lines ended by LF. A line longer than
// maxLineBytes is dropped whole (through onDrop) and framing resumes after its
// LF, so one oversize message never costs the ones after it. Bytes are held
// as the chunks they came in, so a long line costs one copy, not one per chunk.
class LineReader {
  constructor(maxLineBytes, onLine, onDrop) {
    this.maxLineBytes = maxLineBytes;
    this.onLine_ = onLine;
    this.onDrop_ = onDrop;
    this.parts_ = [];
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
    this.size_ += piece.length;
    if (this.oversize_) return;
    if (this.size_ > this.maxLineBytes) {
      this.oversize_ = true;
      this.parts_ = [];
    } else if (piece.length > 0) {
      this.parts_.push(piece);
    }
  }

  finishLine_() {
    const size = this.size_;
    const parts = this.parts_;
    const oversize = this.oversize_;
    this.reset_();
    if (oversize) {
      this.onDrop_(`line of ${size} bytes is over the limit of ${this.maxLineBytes}`, size);
    } else {
      this.onLine_(parts.length === 1 ? parts[0] : Buffer.concat(parts, size));
    }
  }

  reset_() {
    this.parts_ = [];
    this.size_ = 0;
    this.oversize_ = false;
  }
}

module.exports = {LineReader};
